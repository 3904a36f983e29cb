// Placeholder: replaced by the real implementation.
#include "diag/log.h"

BOOL ReadDriverVersion() { return FALSE; }
