#include <iostream>

int main() {
    std::cerr << "Please invoke quillmar with the name of the control file and the type of analysis as arguments.\n";
    return 1;
}
