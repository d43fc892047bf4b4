// tresk_key_roff: prints the key table as the entries of the manual page's
// key section; the build fills them into tresk.1.
#include <cstdio>

#include "app/viewer/KeyTable.h"

int main() { return std::fputs(keyListRoff().c_str(), stdout) < 0 ? 1 : 0; }
