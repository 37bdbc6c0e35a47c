#include "search/searchrun.h"

namespace plimo {

void loadlist(SearchControls &) {}
void runSearch(SearchControls &, Inet &) {}

}  // namespace plimo
