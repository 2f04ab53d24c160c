// The guide-tree reader: the compact text of the file, the split of one level
// of a Newick text, and the text constructors of baum.
#include "tree/treespec.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "sequence/fatal.h"

// ---- clustal ----

namespace {

// The text up to the first ';' outside comments, without comments, blanks
// and non-printing characters.
guide_read scan_guide(std::istream& in, std::string& out) {
    bool comment = false;
    char c;
    while (in.get(c)) {
        if (c == '[') {
            comment = true;
        } else if (c == ']') {
            if (!comment) return guide_read::unreadable;
            comment = false;
        } else if (c == ';') {
            if (!comment) {
                out.push_back(c);
                return guide_read::ok;
            }
        } else if (!comment) {
            unsigned char u = static_cast<unsigned char>(c);
            if (std::isprint(u) && !std::isspace(u)) out.push_back(c);
        }
    }
    if (in.bad()) return guide_read::cannot_read;  // a directory, or a read error
    return guide_read::no_semicolon;
}

}  // namespace

clustal::clustal(const char* filename) {
    check_guide_read(read_guide_file(filename, *this), filename);
}

clustal::clustal(std::ifstream& in) {
    const guide_read r = scan_guide(in, *this);
    if (r == guide_read::cannot_read) fatal("cannot read the guide tree file\n");
    check_guide_read(r, "");
}

clustal::~clustal() = default;

guide_read read_guide_file(const char* filename, std::string& text) {
    text.clear();
    std::ifstream in(filename);
    if (!in) return guide_read::cannot_open;
    const guide_read r = scan_guide(in, text);
    if (r != guide_read::ok) text.clear();
    return r;
}

bool read_guide_text(const char* filename, std::string& text) {
    return read_guide_file(filename, text) == guide_read::ok;
}

void check_guide_read(guide_read r, const char* filename) {
    switch (r) {
    case guide_read::ok: return;
    case guide_read::cannot_open: fatal("cannot open file ", filename, "\n");
    case guide_read::cannot_read: fatal("cannot read file ", filename, "\n");
    case guide_read::unreadable: fatal("Unreadable tree format\n");
    case guide_read::no_semicolon: break;
    }
    fatal("No semicolon at the end of the tree\n");
}

// ---- one level of a Newick text ----

namespace {

const size_t npos = std::string::npos;

// A fault of the text: fatal, or false where the text is only looked at
// (quiet).
template <class... A>
bool fault(bool quiet, const A&... parts) {
    if (!quiet) fatal(parts...);
    return false;
}

// A branch length after a ':'; anything that does not scan as a finite
// number is a fault.
bool scan_length(const std::string& rest, double& x, bool quiet) {
    x = 0.0;
    if (std::sscanf(rest.c_str(), "%lf", &x) != 1 || !std::isfinite(x))
        return fault(quiet, "Cannot scan from string\n", rest, "\n");
    return true;
}

// The positions of the punctuation of one Newick text, so that any part of
// it is split without copying it.
class newick_text {
public:
    explicit newick_text(const std::string& text) : s(text) {
        long d = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            switch (s[i]) {
            case '(':
                open_.push_back(i);
                ++d;
                break;
            case ')':
                close_.push_back(i);
                --d;
                break;
            case ':': colon_.push_back(i); break;
            case ';': semi_.push_back(i); break;
            case ',': comma_[d].push_back(i); break;
            default: break;
            }
        }
    }

    std::string part(size_t b, size_t e) const { return s.substr(b, e - b); }
    size_t size() const { return s.size(); }

    // The last position of ')', ':' or ';' in [b, e), or npos.
    size_t last(char c, size_t b, size_t e) const {
        const std::vector<size_t>& v = c == ')' ? close_ : c == ':' ? colon_ : semi_;
        auto it = std::lower_bound(v.begin(), v.end(), e);
        if (it == v.begin() || *(it - 1) < b) return npos;
        return *(it - 1);
    }

    // The number of '(' minus the number of ')' in [b, e).
    long depth(size_t b, size_t e) const { return count(open_, b, e) - count(close_, b, e); }

    // The commas in [b + 1, e) at depth 1 counted from b, in text order.
    void commas(size_t b, size_t e, std::vector<size_t>& out) const {
        out.clear();
        auto level = comma_.find(depth(0, b) + 1);
        if (level == comma_.end()) return;
        const std::vector<size_t>& v = level->second;
        for (auto it = std::lower_bound(v.begin(), v.end(), b + 1); it != v.end() && *it < e; ++it)
            out.push_back(*it);
    }

private:
    static long count(const std::vector<size_t>& v, size_t b, size_t e) {
        return std::lower_bound(v.begin(), v.end(), e) - std::lower_bound(v.begin(), v.end(), b);
    }

    const std::string& s;
    std::vector<size_t> open_, close_, colon_, semi_;
    // Comma positions by the depth at which they stand in the whole text.
    std::map<long, std::vector<size_t>> comma_;
};

// One level of the part [b, e) of a text.
struct newick_level {
    size_t lb = 0, le = 0;  // the label; for a leaf, its name
    double length = 0.1;
    bool leaf = false;
    std::vector<std::pair<size_t, size_t>> parts;  // the subtrees, in text order
};

// Label, length and leaf flag of the part [b, e).
bool read_head(const newick_text& t, size_t b, size_t e, newick_level& lv, bool quiet) {
    if (b == e) return fault(quiet, "An empty string was passed to the constructor Newick\n");
    const size_t rp = t.last(')', b, e);
    const size_t co = t.last(':', b, e);
    const size_t se = t.last(';', b, e);
    const bool whole = se != npos;
    if (whole && ((rp != npos && rp > se) || (co != npos && co > se)))
        return fault(quiet, "Error in Clustal tree: \n", t.part(b, e), "\n");

    lv.lb = b;
    if (rp == npos) {
        lv.leaf = true;
        if (co == npos) {
            lv.le = e;
        } else {
            if (co == b) return fault(quiet, "Leaf has no name\n");
            lv.le = co;
        }
    } else {
        lv.leaf = false;
        lv.le = rp + 1;
    }

    const bool ownlength = co != npos && (rp == npos || co > rp);
    lv.length = whole ? 0.0 : 0.1;
    return whole || !ownlength || scan_length(t.part(co + 1, e), lv.length, quiet);
}

// The subtrees of the label, or a one-member group turned into a leaf.
bool read_groups(const newick_text& t, newick_level& lv, std::vector<size_t>& commas, bool quiet) {
    lv.parts.clear();
    const size_t b = lv.lb, e = lv.le;
    const long d = t.depth(b, e);
    if (d != 0)
        return fault(quiet, d, " more '(' than ')' or v.v. in subtree\n", t.part(b, e), "\n");
    if (lv.leaf) return true;

    t.commas(b, e, commas);
    if (!commas.empty()) {
        const size_t last = e - 1;  // the closing ')'
        lv.parts.emplace_back(b + 1, commas[0]);
        for (size_t k = 1; k < commas.size(); ++k)
            lv.parts.emplace_back(commas[k - 1] + 1, commas[k]);
        lv.parts.emplace_back(commas.back() + 1, last);
        return true;
    }

    // A group with one member is a leaf; it needs a name.
    lv.leaf = true;
    const size_t co = t.last(':', b, e);
    if (co != npos) {
        if (!scan_length(t.part(co + 1, e), lv.length, quiet)) return false;
        lv.lb = b + 1;
        lv.le = co > b + 1 ? co : b + 1;
    } else {
        lv.lb = b + 1;
        lv.le = e - b > 2 ? e - 1 : b + 1;
    }
    if (lv.lb == lv.le) return fault(quiet, "Leaf has no name\n");
    return true;
}

// Reads the parts of a text in pre-order with a stack of parts still to
// read, so that neither the depth of the tree nor copies of the text are
// limited by the call stack. visit(level, parent) makes what a part stands
// for and returns it, the parent of the part's subtrees; the top part has
// the parent given. False on a fault of the text, when quiet.
template <class Node, class Visit>
bool read_parts(const newick_text& t, bool quiet, Node top, Visit&& visit) {
    struct pending {
        size_t b, e;
        Node parent;
        unsigned level;
    };
    std::vector<pending> todo{{0, t.size(), top, 0}};
    newick_level lv;
    std::vector<size_t> commas;
    while (!todo.empty()) {
        const pending p = todo.back();
        todo.pop_back();
        if (p.level > max_guide_depth)
            return fault(quiet, "The guide tree is nested more than ", max_guide_depth,
                         " levels deep\n");
        if (!read_head(t, p.b, p.e, lv, quiet) || !read_groups(t, lv, commas, quiet)) return false;
        const Node x = visit(lv, p.parent);
        for (auto it = lv.parts.rbegin(); it != lv.parts.rend(); ++it)
            todo.push_back({it->first, it->second, x, p.level + 1});
    }
    return true;
}

}  // namespace

bool guide_leaf_names(const std::string& text, std::unordered_set<std::string>& names) {
    names.clear();
    const newick_text t(text);
    const bool read = read_parts(t, true, 0, [&](const newick_level& lv, int) {
        if (lv.leaf) names.insert(t.part(lv.lb, lv.le));
        return 0;
    });
    if (!read) names.clear();
    return read;
}

// ---- Newick ----

Newick::Newick(std::string text) {
    desc_lab_len(std::move(text));
    subtrees();
}

void Newick::desc_lab_len(std::string text) {
    const newick_text t(text);
    newick_level lv;
    read_head(t, 0, text.size(), lv, false);
    label = t.part(lv.lb, lv.le);
    length = lv.length;
    leaf = lv.leaf;
}

void Newick::subtrees() {
    subtexts.clear();
    const newick_text t(label);
    newick_level lv;
    lv.lb = 0;
    lv.le = label.size();
    lv.length = length;
    lv.leaf = leaf;
    std::vector<size_t> commas;
    read_groups(t, lv, commas, false);
    for (const auto& p : lv.parts) subtexts.push_back(t.part(p.first, p.second));
    length = lv.length;
    leaf = lv.leaf;
    label = t.part(lv.lb, lv.le);
}

// ---- text constructors ----

baum::baum(std::string text, bool isroot, dataset& ds) {
    build(text, isroot, &ds.names, &ds);
    if (isroot) check_read_tree();
}

baum::baum(std::string text, bool isroot, const std::vector<std::vector<char>>& names) {
    build(text, isroot, &names, nullptr);
    if (isroot) check_read_tree();
}

baum::baum(std::string text, bool isroot) {
    build(text, isroot, nullptr, nullptr);
    if (isroot) check_read_tree();
}

// The nodes of the text's parts, in pre-order. Where names are given, a leaf
// is matched to them as soon as it is read; where rows are given as well, it
// gets its row coded then.
void baum::build(const std::string& text, bool isroot, const std::vector<std::vector<char>>* names,
                 const dataset* rows) {
    const newick_text t(text);
    read_parts(t, false, static_cast<baum*>(nullptr), [&](const newick_level& lv, baum* parent) {
        baum* x = parent == nullptr ? this : new baum(identifier());
        if (x == this && isroot && lv.leaf) fatal("The guide tree has fewer than two leaves\n");
        x->id.number = -1;
        if (lv.leaf) {
            x->id.name = t.part(lv.lb, lv.le);
            x->id.text = x->id.name;
            if (names != nullptr) x->id.setnumber(*names);
            if (rows != nullptr) x->seq = bioseq(rows->seqs[x->id.number], rows->type);
        }
        // The parent record first; the parent lists its children in text order.
        if (parent != nullptr || !isroot) {
            neighbor up;
            up.brl = lv.length;
            up.fixed = true;
            x->neighbors.push_back(up);
        }
        if (parent != nullptr) {
            neighbor& up = x->neighbors.front();
            up.node = parent;
            up.isparent = true;
            neighbor down;
            down.brl = up.brl;
            down.fixed = true;
            down.node = x;
            parent->neighbors.push_back(down);
        }
        return x;
    });
}

// A guide tree needs two leaves at least, with distinct names.
void baum::check_read_tree() const {
    std::vector<const std::string*> names;
    std::vector<const baum*> todo{this};
    while (!todo.empty()) {
        const baum* x = todo.back();
        todo.pop_back();
        if (x->isLeaf()) names.push_back(&x->id.name);
        for (auto it = x->neighbors.rbegin(); it != x->neighbors.rend(); ++it)
            if (!it->isparent && it->node != nullptr) todo.push_back(it->node);
    }
    if (names.size() < 2) fatal("The guide tree has fewer than two leaves\n");
    std::set<std::string> seen;
    for (const std::string* n : names)
        if (!seen.insert(*n).second) fatal("One name was found twice in the tree\n");
}
