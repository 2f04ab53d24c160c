// Tree nodes, branches and identifiers: copies, destructor, queries.
#include "tree/treespec.h"

#include <algorithm>
#include <iostream>

#include "sequence/util.h"

// ---- identifier ----

identifier identifier::operator=(identifier other) {
    name = std::move(other.name);
    number = other.number;
    text = std::move(other.text);
    return *this;
}

bool identifier::operator==(const identifier& other) const { return name == other.name; }

void identifier::setnumber(std::vector<std::vector<char>> names) {
    number = -1;
    for (size_t i = 0; i < names.size(); ++i) {
        std::string s(names[i].begin(), names[i].end());
        if (s == name) {
            if (number != -1) fatal("Two sequences in the data set have the same name!\n");
            number = static_cast<int>(i);
        }
    }
    if (number == -1) {
        std::string msg = "Taxon " + name + " was not found in the following data set:\n";
        for (const auto& n : names) msg += std::string(n.begin(), n.end()) + "\n";
        fatal(msg);
    }
}

// ---- neighbor ----

neighbor neighbor::operator=(neighbor other) {
    brl = other.brl;
    fixed = other.fixed;
    isparent = other.isparent;
    node = other.node;
    posmap = std::move(other.posmap);
    return *this;
}

neighbor neighbor::operator<=(neighbor other) {
    brl = other.brl;
    fixed = other.fixed;
    isparent = other.isparent;
    node = other.node;
    return *this;
}

// ---- baum: construction and destruction ----

baum::baum(const identifier& x) : id(x) {}

baum::baum(const baum& src) : id(src.id), seq(src.seq) { copy_children(src, false); }

baum::baum(const baum& src, bool topologyonly) {
    if (!topologyonly) fatal("Improper use of the topologyonly copy constructor of class baum\n");
    id = src.id;
    copy_children(src, true);
}

void baum::copy_children(const baum& src, bool topologyonly) {
    bool parentseen = false;
    neighbors.reserve(src.neighbors.size());
    for (const neighbor& r : src.neighbors) {
        if (r.node == nullptr) fatal("One tree node has a null pointer as neighbour\n");
        if (r.isparent) {
            if (parentseen) fatal("More than one parent in the\n", "copy constructor of class baum\n");
            parentseen = true;
            continue;
        }
        const baum& srcchild = *r.node;
        baum* child = topologyonly ? new baum(srcchild, true) : new baum(srcchild);
        neighbor down = r;
        down.node = child;
        if (topologyonly) down.posmap.clear();
        neighbors.push_back(std::move(down));
        neighbor up = srcchild.neighbors[srcchild.whichone(&src)];
        up.node = this;
        if (topologyonly) up.posmap.clear();
        child->neighbors.push_back(std::move(up));
    }
}

baum::~baum() {
    for (neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) {
            delete r.node;
            r.node = nullptr;
        }
}

// ---- queries ----

baum* baum::NB(int i) const {
    if (i < 0 || i >= static_cast<int>(neighbors.size())) fatal("Index out of range in baum::NB(int i)\n");
    return neighbors[i].node;
}

int baum::whichone(const baum* T) const {
    if (T == nullptr) fatal("Argument of whichone(baum *T) is NULL\n");
    int found = -1;
    for (size_t i = 0; i < neighbors.size(); ++i)
        if (neighbors[i].node == T) {
            if (found != -1) fatal("One node appears twice in baum::whichone(baum *T)\n");
            found = static_cast<int>(i);
        }
    if (found == -1) fatal("Node T could not be found in baum::whichone(baum *T)\n");
    return found;
}

baum* baum::parent() const {
    baum* p = nullptr;
    bool seen = false;
    for (const neighbor& r : neighbors)
        if (r.isparent) {
            if (seen) fatal("There is more than one parent in baum::parent()\n");
            seen = true;
            p = r.node;
        }
    return p;
}

baum* baum::root() {
    baum* x = this;
    for (baum* p = x->parent(); p != nullptr; p = x->parent()) x = p;
    return x;
}

bool baum::isLeaf() const { return neighbors.size() < 2; }

bool baum::isRoot() const { return parent() == nullptr; }

unsigned baum::numleaves() const {
    if (isLeaf()) return 1;
    unsigned s = 0;
    for (const neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) s += r.node->numleaves();
    return s;
}

int baum::size() const {
    int s = 1;
    for (const neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) s += r.node->size();
    return s;
}

double baum::laenge() const {
    double s = 0.0;
    for (const neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) s += r.node->laenge() + r.brl;
    return s;
}

int baum::depth() const {
    const baum* p = parent();
    return p == nullptr ? 0 : p->depth() + 1;
}

double baum::aprxspan() const {
    double s = 0.0;
    int k = 0;
    for (const neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) {
            s += r.node->aprxspan() + r.brl;
            ++k;
        }
    return k == 0 ? 0.0 : s / k;
}

double baum::aprxheight() const { return aprxspan(); }

double baum::opt_delta() const { return 0.03 * aprxheight(); }

void baum::setid(const identifier& x) { id = x; }

baum* baum::findLeaf(const identifier& x) {
    if (isLeaf() && id == x) return this;
    for (neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) {
            baum* f = r.node->findLeaf(x);
            if (f != nullptr) return f;
        }
    return nullptr;
}

std::string baum::clustname() {
    if (isLeaf() && !isRoot()) return id.name;
    std::vector<std::string> parts;
    for (neighbor& r : neighbors)
        if (!r.isparent && r.node != nullptr) parts.push_back(r.node->clustname());
    std::sort(parts.begin(), parts.end());
    std::string s;
    for (const std::string& p : parts) s += p;
    return s + ".";
}

bool baum::operator==(baum& other) {
    baum* R1 = root();
    baum* R2 = other.root();
    baum* L1 = R1->pickrandleaf();
    baum* L2 = R2->findLeaf(L1->id);
    if (L2 == nullptr) return false;
    L1->reroot(nullptr);
    L2->reroot(nullptr);
    bool same = L2->clustname() == L1->clustname();
    R1->reroot(nullptr);
    R2->reroot(nullptr);
    return same;
}
