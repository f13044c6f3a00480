// Builds the precompiled header the libraries reuse; never linked into anything.
