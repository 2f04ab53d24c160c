// The program's uniform generator, its seeding and the draws built on it.
#ifndef QUILLMAR_SEQUENCE_RANDOM_H
#define QUILLMAR_SEQUENCE_RANDOM_H

#include <vector>

// State of the first congruential generator; 0 or below asks for
// re-initialisation (from its magnitude) at the next draw.
extern int idum;

// The file in the working folder that keeps the seed of every run.
inline constexpr char seed_file[] = "Zufallszahl";

double randomunitintervall();
// Seeds both generators from the clock; the seed is kept for append_seed.
void initrandom();
// Appends the last seed given to the generators to the seed file, one line;
// false if it could not be written (nothing seeded yet writes nothing).
bool append_seed();
// The last seed given to the generators.
unsigned int last_seed();
// Seeds from a given value exactly as initrandom does after the clock
// (srand, srandom, idum = -rand()); no file is written.
void seedrandom(unsigned int seed);
void zzinitrandom();
int randominteger(int n);
void rndorder(std::vector<int>& v, unsigned int n);
void chooser(int n, int k, std::vector<int>& v);
int randomchoice(const std::vector<int>& weights);
int randomchoice(const std::vector<double>& weights);
// The same on n weights held elsewhere.
int randomchoice(const double* weights, int n);
double rand_exp(double rate);

#endif
