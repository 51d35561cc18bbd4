// A loadable module with one entry point, for the loader test.
extern "C" __attribute__((visibility("default"))) int ModTestAnswer() { return 42; }
