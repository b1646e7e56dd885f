// The limits: the program's own channel (g_virtual_channel) on the simulator's pipes with no
// engine, driven as the engine's workers drive it, on a thread with its own reused I/O event.
// Each needs the engine stopped, the binding's channel free for it.
#pragma once

#include "bench_meter.h"
#include "sim_platform.h"

// IN: the terminal writes count reap replies carrying size bytes back to back; the program's
// end reads each as the reply pump does, its length and then its body.
// OUT: the program's end writes count URB requests carrying size bytes, each as one message
// (g_write_to_virtual_channel), first copied into a fresh block with copy_first, as the rewrite
// of an MDL OUT request does; the terminal reads them as the simulated terminal does.
Run g_limit(Sim_platform& pipes, bool out, bool copy_first, uint32_t size, uint32_t count);
