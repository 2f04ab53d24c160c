// Column subtrees: the tree restricted to the rows with a residue.
#include "tree/treespec.h"

#include "sequence/util.h"

baum* baum::teilbaum(const std::vector<std::string>& names, const std::vector<char>& column) {
    baum* copy = new baum(*this, true);
    baum* first = copy->abuse_fix(names, column);
    first->trim();
    first->fuseblindnodes(true);
    return first;
}

baum* baum::abuse_fix(const std::vector<std::string>& names, const std::vector<char>& column) {
    if (names.size() != column.size())
        fatal("Unequal numbers of identifiers and of sequences in abuse_fix\n", names.size(), "\t",
              column.size(), "\n");
    std::vector<bool> present(column.size());
    for (size_t i = 0; i < column.size(); ++i) present[i] = column[i] != '-' && column[i] != '_';
    std::vector<bool> found(names.size(), false);
    baum* first = nullptr;
    findnames(first, present, names, found);
    for (bool f : found)
        if (!f) fatal("At least one of the names was not found in the tree\n");
    if (first == nullptr) fatal("Lost tree\n");
    first->reroot(nullptr);
    first->post_order_abuse_fix(present);
    return first;
}

void baum::findnames(baum*& first, std::vector<bool>& present, const std::vector<std::string>& names,
                     std::vector<bool>& found) {
    for (neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) r.node->findnames(first, present, names, found);
    if (!isLeaf()) return;
    size_t i = 0;
    while (i < names.size() && names[i] != id.name) ++i;
    if (i == names.size()) fatal("A leaf of the tree was not found among the names in abuse_fix\n");
    id.number = static_cast<int>(i);
    if (first == nullptr && present[i]) first = this;
    if (found[i]) fatal("One name was found twice in the tree\n");
    found[i] = true;
}

bool baum::post_order_abuse_fix(std::vector<bool>& present) {
    bool result = false;
    int up = -1;
    for (size_t i = 0; i < neighbors.size(); ++i) {
        if (neighbors[i].isparent) {
            up = static_cast<int>(i);
            continue;
        }
        if (neighbors[i].node == nullptr) continue;
        // Every child is visited: its marks are needed even when result is set.
        const bool below = neighbors[i].node->post_order_abuse_fix(present);
        result = result || below;
    }
    if (isLeaf()) result = present[id.number];
    if (up >= 0) {
        neighbors[up].fixed = result;
        baum* p = neighbors[up].node;
        p->neighbors[p->whichone(this)].fixed = result;
    }
    return result;
}

void baum::trim() {
    std::vector<neighbor> kept;
    kept.reserve(neighbors.size());
    for (neighbor& r : neighbors) {
        if (r.isparent) {
            kept.push_back(r);
        } else if (r.node != nullptr && r.fixed) {
            r.node->trim();
            kept.push_back(r);
        } else if (r.node != nullptr) {
            delete r.node;  // its record for this node is its parent record
            r.node = nullptr;
        }
    }
    neighbors.swap(kept);
}
