// The shared library's own translation unit: everything else comes from kestousb_core, linked
// whole so that every exported function is kept.
#include "KestoUSB.h"
