/* Laying out the machine root on request. */
#include "Frame.h"
#include "RootLayout.h"

extern "C" LONG VaultkeepInitRoot(void) {
    CExportFrame frame("VaultkeepInitRoot");
    return frame.Run([&]() -> LONG { return InitRoot(); });
}
