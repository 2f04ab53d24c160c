// The sampler state's lifetime: construction around a given tree, copies,
// destruction, and the deep copies between the current and the working tree.
#include "sampler/mult_align.h"

#include "sequence/fatal.h"

mult_alignment::mult_alignment() {
    fatal("You tried to construct an uninitialized object of the class mult_alignment.\n");
}

mult_alignment::mult_alignment(const substmodel& sm, const indel& im, baum* tree,
                               const keepfixed& f, const cooling& c)
    : submodel(sm), indmodel(im), told(tree), tnew(nullptr), fix(f), cool(c) {
    malign = mdataset(told, submodel.retalf());
    pattern = compact_subst_pattern(malign);
    loglik = complik(pattern, told);
}

mult_alignment::mult_alignment(const mult_alignment& o)
    : submodel(o.submodel),
      indmodel(o.indmodel),
      told(o.told != nullptr ? new baum(*o.told) : nullptr),
      tnew(nullptr),
      fix(o.fix),
      cool(o.cool),
      counter(o.counter),
      malign(o.malign),
      pattern(o.pattern),
      loglik(o.loglik),
      tempali(o.tempali),
      tempparam(o.tempparam),
      rateali(o.rateali),
      rateparam(o.rateparam),
      widthindex(o.widthindex),
      widthround(o.widthround),
      widthdown(o.widthdown),
      widthgain(o.widthgain),
      widthcount(o.widthcount) {}

namespace {

// Deletes a tree held through the given node, re-rooting it there first if
// the node is no longer its root.
void dispose(baum*& t, const char* warning) {
    if (t == nullptr) return;
    if (!t->isRoot()) {
        t->reroot(t);
        warn(warning);
    }
    delete t;
    t = nullptr;
}

}  // namespace

mult_alignment::~mult_alignment() {
    dispose(told, "WARNING: told's root has changed\n");
    dispose(tnew, "WARNING: tnew's root has changed\n");
}

baum* mult_alignment::ausaltmachneu() {
    dispose(tnew, "WARNING: tnew's root has changed\n");
    tnew = told != nullptr ? new baum(*told) : nullptr;
    return tnew;
}

baum* mult_alignment::ausneumachalt() {
    dispose(told, "WARNING: told's root has changed\n");
    told = tnew != nullptr ? new baum(*tnew) : nullptr;
    return told;
}
