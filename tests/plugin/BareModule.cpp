// A shared module that loads fine but brings no plug-in descriptor: the
// loader must log it and unload it again.
extern "C" __attribute__((visibility("default"))) int BareModuleAnswer() { return 42; }
