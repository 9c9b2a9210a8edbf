// The root of Ferrix's object model. Delegates derive from it, and the library asks them at run time
// (dynamic_cast) which delegate interfaces they implement.
#pragma once

#include <Ferrix/FRXExport.h>

class FRX_EXPORT FRXObject {
public:
  FRXObject() = default;
  FRXObject(const FRXObject&) = default;
  FRXObject& operator=(const FRXObject&) = default;
  virtual ~FRXObject();
};
