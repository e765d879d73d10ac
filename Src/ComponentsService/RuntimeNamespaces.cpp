#include "stdsoap2.h"

// The SOAP runtime's default namespace table, which it gives every context it sets up; the
// components-service client replaces it with its own table (with the service namespace) at
// construction. SOAP 1.2 on the wire, SOAP 1.1 also accepted when reading.
SOAP_NMAC struct Namespace namespaces[] = {
    {"SOAP-ENV", "http://www.w3.org/2003/05/soap-envelope",
     "http://schemas.xmlsoap.org/soap/envelope/", nullptr},
    {"SOAP-ENC", "http://www.w3.org/2003/05/soap-encoding",
     "http://schemas.xmlsoap.org/soap/encoding/", nullptr},
    {"xsi", "http://www.w3.org/2001/XMLSchema-instance", "http://www.w3.org/*/XMLSchema-instance",
     nullptr},
    {"xsd", "http://www.w3.org/2001/XMLSchema", "http://www.w3.org/*/XMLSchema", nullptr},
    {nullptr, nullptr, nullptr, nullptr},
};
