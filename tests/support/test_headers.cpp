// Compiles the precompiled GoogleTest headers that the non-GUI tests reuse.
