// Every internal interface at once, for tests that exercise the library's
// internals across parts. The library's own files include only the
// headers of the concerns they use.
#ifndef VS_INTERNAL_H
#define VS_INTERNAL_H

#include "accounts/scan.h"
#include "foundation/atomic_write.h"
#include "foundation/files.h"
#include "foundation/holders.h"
#include "foundation/identifiers.h"
#include "foundation/layout.h"
#include "foundation/moves.h"
#include "foundation/results.h"
#include "foundation/ring.h"
#include "foundation/root.h"
#include "foundation/temp_names.h"
#include "foundation/text.h"
#include "keldrune-vault-storage.h"

#endif
