# Console window procedures (filled in with the console).
