// Keeps a layer's library valid while its folder holds no sources of its own yet.
