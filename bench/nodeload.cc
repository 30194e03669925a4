// The node path, for the benchmark's annapply_nodes: every stored annotation
// loaded as a node of its own, as annapply did before stretches. That
// driver is built with load_annlist named load_one_by_one, so it calls this.
#include "annlist/annlist.h"

long load_one_by_one() {
  long loaded = 0;
  while (getann(0, &annot) == 0) {
    insert_ann();
    loaded++;
  }
  return loaded;
}
