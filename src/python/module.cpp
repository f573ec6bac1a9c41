// placeholder until the binding lands
