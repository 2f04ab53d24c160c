#include "sampler/mult_align.h"

// Makes no cycle until the sampler steps exist.
std::uint32_t annealing_loop(mult_alignment*&, mult_alignment*&, int, std::ostream&) { return 0; }
