// The program entry: the whole run from the command line.
#ifndef QUILLMAR_SAMPLER_QUILLMAR_H
#define QUILLMAR_SAMPLER_QUILLMAR_H

// Runs quillmar with the command line after the generator has been seeded;
// returns the exit status.
int quillmar_run(int argc, char** argv);

#endif
