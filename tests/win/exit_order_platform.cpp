// The production binding built unoptimised for the exit-order check: there a destroyed binding
// has its base's pure virtual table back, so a call through it aborts instead of going unseen.
#include "platform/platform_win32.cpp"
