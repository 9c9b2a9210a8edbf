// The whole Ferrix interface in one include, and the library's own (empty) class.
#pragma once

#include <Ferrix/FRXConnection.h>
#include <Ferrix/FRXConnectionDelegateProtocol.h>
#include <Ferrix/FRXError.h>
#include <Ferrix/FRXExport.h>
#include <Ferrix/FRXLog.h>
#include <Ferrix/FRXObject.h>
#include <Ferrix/FRXSFTP.h>
#include <Ferrix/FRXSSHConfig.h>
#include <Ferrix/FRXTransferMath.h>

class FRX_EXPORT Ferrix : public FRXObject {
public:
  ~Ferrix() override;
};
