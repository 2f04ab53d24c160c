// Position maps of an alignment path, as the branch records hold them.
#ifndef QUILLMAR_TESTS_SUPPORT_PATH_MAPS_H
#define QUILLMAR_TESTS_SUPPORT_PATH_MAPS_H

#include "models/indel.h"

#include <string>
#include <vector>

// The maps of a path of column states (MATCH, INSERTION, DELETION) between
// a first sequence and a second: a[i] is the position in the second
// sequence of the last of its residues in a column up to residue i of the
// first (-1 for none), b[j] the same the other way.
inline void path_to_maps(const std::vector<int>& path, std::vector<int>& a, std::vector<int>& b) {
    a.clear();
    b.clear();
    int p = -1, q = -1;
    for (int st : path) {
        if (st == MATCH) {
            ++p, ++q;
            a.push_back(q);
            b.push_back(p);
        } else if (st == INSERTION) {
            ++q;
            b.push_back(p);
        } else {
            ++p;
            a.push_back(q);
        }
    }
}

// The column states of a path written with 'M', 'I' and 'D'.
inline std::vector<int> path_states(const std::string& letters) {
    std::vector<int> states;
    for (char c : letters) states.push_back(c == 'M' ? MATCH : c == 'I' ? INSERTION : DELETION);
    return states;
}

#endif
