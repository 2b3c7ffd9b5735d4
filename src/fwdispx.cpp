// placeholder until the firmware dialog lands
