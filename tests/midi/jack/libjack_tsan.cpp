// The threads of a JACK client given up on a server that stopped answering
// are libjack's, and are never joined: not a leak of ours.
extern "C" const char* __tsan_default_suppressions() { return "thread:libjack.so.0\n"; }
