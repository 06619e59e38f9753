// Owner of the tests' precompiled header; holds no code.
