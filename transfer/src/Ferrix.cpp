// Out-of-line destructors: they anchor the exported classes' type information in the library, which
// is what dynamic_cast on a caller's delegate compares against.
#include <Ferrix/Ferrix.h>

FRXObject::~FRXObject() = default;
FRXConnectionDelegateProtocol::~FRXConnectionDelegateProtocol() = default;
FRXConnectionSpeedDelegateProtocol::~FRXConnectionSpeedDelegateProtocol() = default;
FRXConnectionTransferDelegateProtocol::~FRXConnectionTransferDelegateProtocol() = default;
Ferrix::~Ferrix() = default;
