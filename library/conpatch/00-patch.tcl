# Patches of Tk's own console (filled in with the console).
