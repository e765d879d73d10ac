// The components web service as the gSOAP code generator reads it: soapcpp2 turns this file
// into the ComponentsService client (ComponentsServiceSoapProxy and the message serializers)
// in the build tree. Document/literal SOAP 1.2 over HTTP; every element is qualified with the
// service namespace (prefix tempuri). The element names OsPlatfrom, DeployPlatfrom and
// OsTypeint are the service's own and must stay as they are.
//
// The endpoint and namespace below are placeholders: the program applies the build-time
// endpoint and namespace (and the SOAP actions that follow from it) to every proxy it creates.
//gsoap tempuri service name: ComponentsServiceSoap
//gsoap tempuri service type: ComponentsServiceSoap
//gsoap tempuri service port: http://localhost/components.asmx
//gsoap tempuri service namespace: urn:corvane-components-service/
//gsoap tempuri service transport: http://www.w3.org/2003/05/soap/bindings/HTTP/
//gsoap tempuri schema namespace: urn:corvane-components-service/
//gsoap tempuri schema form: qualified

#import "stlvector.h"

// Request fields are optional strings (left out when null) and always-present integers.
class tempuri__ComponentInfoRequest
{
public:
    std::wstring* UserId 0;
    std::wstring* ComponentId 0;
    std::wstring* OsPlatfrom 0;
    std::wstring* DeployPlatfrom 0;
    std::wstring* RequiredVersion 0;
    std::wstring* InstalledVersion 0;
};

class tempuri__ComponentInfoOsTypeRequest : public tempuri__ComponentInfoRequest
{
public:
    int OsType 1;
};

class tempuri__GetComponentRequest : public tempuri__ComponentInfoOsTypeRequest
{
public:
    std::wstring* Partner 0;
};

class tempuri__ComponentsInfoRequest
{
public:
    std::wstring* UserId 0;
    std::wstring* DeployPlatfrom 0;
    std::wstring* OsPlatfrom 0;
    std::wstring* RequiredVersion 0;
    std::wstring* InstalledVersion 0;
};

class tempuri__ComponentsInfoOsTypeRequest : public tempuri__ComponentsInfoRequest
{
public:
    int OsTypeint 1;
};

class tempuri__GetComponentsRequest : public tempuri__ComponentsInfoOsTypeRequest
{
public:
    std::wstring* Partner 0;
};

class tempuri__ComponentInfoResponse
{
public:
    std::wstring* Id 0;
    std::wstring* Notes 0;
    std::wstring* Version 0;
    std::wstring* DownloadUrl 0;
};

class tempuri__ComponentInfo
{
public:
    std::wstring* Id 0;
    std::wstring* Notes 0;
    std::wstring* Version 0;
    std::wstring* DownloadUrl 0;
};

class tempuri__ArrayOfComponentInfo
{
public:
    std::vector<tempuri__ComponentInfo*> ComponentInfo 0;
};

class tempuri__ComponentsInfoResponse
{
public:
    tempuri__ArrayOfComponentInfo* Components 0;
    // Nillable: written as xsi:nil="true" when it has no value.
    time_t* ReleaseDateUtc 1;
};

// Request and response wrappers of the six operations.
class _tempuri__GetComponentsInfo { public: tempuri__ComponentsInfoRequest* request 0; };
class _tempuri__GetComponentsInfoResponse { public: tempuri__ComponentsInfoResponse* GetComponentsInfoResult 0; };
class _tempuri__GetComponentInfo { public: tempuri__ComponentInfoRequest* request 0; };
class _tempuri__GetComponentInfoResponse { public: tempuri__ComponentInfoResponse* GetComponentInfoResult 0; };
class _tempuri__GetComponentsInfoOsType { public: tempuri__ComponentsInfoOsTypeRequest* request 0; };
class _tempuri__GetComponentsInfoOsTypeResponse { public: tempuri__ComponentsInfoResponse* GetComponentsInfoOsTypeResult 0; };
class _tempuri__GetComponentOsTypeInfo { public: tempuri__ComponentInfoOsTypeRequest* request 0; };
class _tempuri__GetComponentOsTypeInfoResponse { public: tempuri__ComponentInfoResponse* GetComponentOsTypeInfoResult 0; };
class _tempuri__GetComponent { public: tempuri__GetComponentRequest* request 0; };
class _tempuri__GetComponentResponse { public: tempuri__ComponentInfoResponse* GetComponentResult 0; };
class _tempuri__GetComponents { public: tempuri__GetComponentsRequest* request 0; };
class _tempuri__GetComponentsResponse { public: tempuri__ComponentsInfoResponse* GetComponentsResult 0; };

//gsoap tempuri service method-style: GetComponentsInfo document
//gsoap tempuri service method-encoding: GetComponentsInfo literal
//gsoap tempuri service method-action: GetComponentsInfo urn:corvane-components-service/GetComponentsInfo
int __tempuri__GetComponentsInfo(_tempuri__GetComponentsInfo* tempuri__GetComponentsInfo, _tempuri__GetComponentsInfoResponse& tempuri__GetComponentsInfoResponse);

//gsoap tempuri service method-style: GetComponentInfo document
//gsoap tempuri service method-encoding: GetComponentInfo literal
//gsoap tempuri service method-action: GetComponentInfo urn:corvane-components-service/GetComponentInfo
int __tempuri__GetComponentInfo(_tempuri__GetComponentInfo* tempuri__GetComponentInfo, _tempuri__GetComponentInfoResponse& tempuri__GetComponentInfoResponse);

//gsoap tempuri service method-style: GetComponentsInfoOsType document
//gsoap tempuri service method-encoding: GetComponentsInfoOsType literal
//gsoap tempuri service method-action: GetComponentsInfoOsType urn:corvane-components-service/GetComponentsInfoOsType
int __tempuri__GetComponentsInfoOsType(_tempuri__GetComponentsInfoOsType* tempuri__GetComponentsInfoOsType, _tempuri__GetComponentsInfoOsTypeResponse& tempuri__GetComponentsInfoOsTypeResponse);

//gsoap tempuri service method-style: GetComponentOsTypeInfo document
//gsoap tempuri service method-encoding: GetComponentOsTypeInfo literal
//gsoap tempuri service method-action: GetComponentOsTypeInfo urn:corvane-components-service/GetComponentOsTypeInfo
int __tempuri__GetComponentOsTypeInfo(_tempuri__GetComponentOsTypeInfo* tempuri__GetComponentOsTypeInfo, _tempuri__GetComponentOsTypeInfoResponse& tempuri__GetComponentOsTypeInfoResponse);

//gsoap tempuri service method-style: GetComponent document
//gsoap tempuri service method-encoding: GetComponent literal
//gsoap tempuri service method-action: GetComponent urn:corvane-components-service/GetComponent
int __tempuri__GetComponent(_tempuri__GetComponent* tempuri__GetComponent, _tempuri__GetComponentResponse& tempuri__GetComponentResponse);

//gsoap tempuri service method-style: GetComponents document
//gsoap tempuri service method-encoding: GetComponents literal
//gsoap tempuri service method-action: GetComponents urn:corvane-components-service/GetComponents
int __tempuri__GetComponents(_tempuri__GetComponents* tempuri__GetComponents, _tempuri__GetComponentsResponse& tempuri__GetComponentsResponse);
