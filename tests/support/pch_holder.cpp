// Builds the precompiled header that every test executable reuses; never run.
