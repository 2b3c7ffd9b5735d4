// placeholder until the BMP module lands
