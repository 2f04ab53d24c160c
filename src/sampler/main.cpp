// The program entry: seeds the random numbers and runs quillmar.
#include "sampler/quillmar.h"
#include "sequence/random.h"

int main(int argc, char** argv) {
    initrandom();
    return quillmar_run(argc, argv);
}
