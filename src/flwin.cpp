// placeholder until the display module lands
