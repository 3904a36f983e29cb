// Placeholder: replaced by the real implementation.
#include "install/install.h"

void InstallRemove(BOOL) {}
BOOL FileExists(const WCHAR *) { return FALSE; }
