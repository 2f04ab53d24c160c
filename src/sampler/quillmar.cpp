#include "sampler/quillmar.h"

#include <iostream>

int quillmar_run(int, char**) {
    std::cerr << "Please invoke quillmar with the name of the control file and the type of analysis as arguments.\n";
    return 1;
}
