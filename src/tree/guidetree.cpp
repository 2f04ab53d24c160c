// The guide-tree reader: the compact text of the file, the split of one level
// of a Newick text, and the text constructors of baum.
#include "tree/treespec.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <set>

#include "sequence/util.h"

// ---- clustal ----

clustal::clustal(const char* filename) {
    std::ifstream in(filename);
    if (!in) fatal("cannot open file ", filename, "\n");
    if (!lesen(in)) fatal("cannot read file ", filename, "\n");
    in.close();
}

clustal::clustal(std::ifstream& in) {
    if (!lesen(in)) fatal("cannot read the guide tree file\n");
}

clustal::~clustal() = default;

bool clustal::lesen(std::istream& in) {
    bool comment = false;
    char c;
    while (in.get(c)) {
        if (c == '[') {
            comment = true;
        } else if (c == ']') {
            if (!comment) fatal("Unreadable tree format\n");
            comment = false;
        } else if (c == ';') {
            if (!comment) {
                push_back(c);
                return true;
            }
        } else if (!comment) {
            unsigned char u = static_cast<unsigned char>(c);
            if (std::isprint(u) && !std::isspace(u)) push_back(c);
        }
    }
    if (in.bad()) return false;  // a directory, or a read error
    fatal("No semicolon at the end of the tree\n");
}

// ---- Newick ----

namespace {

// A branch length after a ':'; anything that does not scan as a finite
// number is fatal.
double scan_length(const std::string& rest) {
    double x = 0.0;
    if (std::sscanf(rest.c_str(), "%lf", &x) != 1 || !std::isfinite(x))
        fatal("Cannot scan from string\n", rest, "\n");
    return x;
}

}  // namespace

Newick::Newick(std::string text) {
    desc_lab_len(std::move(text));
    subtrees();
}

void Newick::desc_lab_len(std::string text) {
    if (text.empty()) fatal("An empty string was passed to the constructor Newick\n");
    const size_t npos = std::string::npos;
    const size_t rp = text.rfind(')');
    const size_t co = text.rfind(':');
    const size_t se = text.rfind(';');
    const bool whole = se != npos;
    if (whole && ((rp != npos && rp > se) || (co != npos && co > se)))
        fatal("Error in Clustal tree: \n", text, "\n");

    if (rp == npos) {
        leaf = true;
        if (co == npos) {
            label = text;
        } else {
            if (co == 0) fatal("Leaf has no name\n");
            label = text.substr(0, co);
        }
    } else {
        leaf = false;
        label = text.substr(0, rp + 1);
    }

    const bool ownlength = co != npos && (rp == npos || co > rp);
    if (whole)
        length = 0.0;
    else if (ownlength)
        length = scan_length(text.substr(co + 1));
    else
        length = 0.1;
}

void Newick::subtrees() {
    subtexts.clear();
    std::vector<int> depth(label.size());
    int d = 0;
    for (size_t i = 0; i < label.size(); ++i) {
        if (label[i] == '(') ++d;
        if (label[i] == ')') --d;
        depth[i] = d;
    }
    if (d != 0) fatal(d, " more '(' than ')' or v.v. in subtree\n", label, "\n");
    if (leaf) return;

    std::vector<size_t> commas;
    for (size_t i = 1; i < label.size(); ++i)
        if (label[i] == ',' && depth[i] == 1) commas.push_back(i);

    if (!commas.empty()) {
        const size_t last = label.size() - 1;  // the closing ')'
        subtexts.push_back(label.substr(1, commas[0] - 1));
        for (size_t k = 1; k < commas.size(); ++k)
            subtexts.push_back(label.substr(commas[k - 1] + 1, commas[k] - commas[k - 1] - 1));
        subtexts.push_back(label.substr(commas.back() + 1, last - commas.back() - 1));
        return;
    }

    // A group with one member is a leaf; it needs a name.
    leaf = true;
    const size_t co = label.rfind(':');
    if (co != std::string::npos) {
        length = scan_length(label.substr(co + 1));
        label = co > 1 ? label.substr(1, co - 1) : std::string();
    } else {
        label = label.size() > 2 ? label.substr(1, label.size() - 2) : std::string();
    }
    if (label.empty()) fatal("Leaf has no name\n");
}

// ---- text constructors ----

baum::baum(std::string text, bool isroot, dataset& ds) {
    build(text, isroot, &ds);
    if (isroot) check_read_tree();
}

baum::baum(std::string text, bool isroot) {
    build(text, isroot, nullptr);
    if (isroot) check_read_tree();
}

void baum::build(const std::string& text, bool isroot, dataset* ds) {
    Newick nw(text);
    if (isroot && nw.leaf) fatal("The guide tree has fewer than two leaves\n");
    if (nw.leaf) {
        id.name = nw.label;
        id.text = id.name;
        id.number = -1;
        if (ds != nullptr) {
            id.setnumber(ds->names);
            seq = bioseq(ds->seqs[id.number], ds->type);
        }
    } else {
        id.number = -1;
    }
    if (!isroot) {
        neighbor up;
        up.brl = nw.length;
        up.fixed = true;
        neighbors.push_back(up);
    }
    for (const std::string& sub : nw.subtexts) {
        baum* child = ds != nullptr ? new baum(sub, false, *ds) : new baum(sub, false);
        neighbor down;
        down.fixed = true;
        down.node = child;
        neighbors.push_back(down);
        const size_t mine = neighbors.size() - 1;
        bool linked = false;
        for (neighbor& r : child->neighbors)
            if (r.node == nullptr) {
                if (linked) fatal("More than one pointer was NULL in the\n", "copy constructor of class baum\n");
                linked = true;
                r.node = this;
                r.isparent = true;
                neighbors[mine].brl = r.brl;
                neighbors[mine].fixed = r.fixed;
            }
    }
}

namespace {

void collect_leaf_names(const baum* x, std::vector<const std::string*>& out) {
    if (x->isLeaf()) out.push_back(&x->id.name);
    for (const neighbor& r : x->neighbors)
        if (!r.isparent && r.node != nullptr) collect_leaf_names(r.node, out);
}

}  // namespace

// A guide tree needs two leaves at least, with distinct names.
void baum::check_read_tree() const {
    std::vector<const std::string*> names;
    collect_leaf_names(this, names);
    if (names.size() < 2) fatal("The guide tree has fewer than two leaves\n");
    std::set<std::string> seen;
    for (const std::string* n : names)
        if (!seen.insert(*n).second) fatal("One name was found twice in the tree\n");
}
