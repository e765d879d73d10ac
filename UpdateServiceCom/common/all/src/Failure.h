#pragma once

#include "UpdateServiceCom/UpdateServiceCom.h"
#include "UpdateServiceCom/UpdateServiceInterface.h"

#include <stdexcept>
#include <string>

namespace UpdateServiceCom
{
// A failure that ends Update or Install with its result code. A transient failure names the
// retry query event (UpdSdk::EventRetryQuery1 to 3) that asks whether to try again; 0 means it is
// final.
class Failure : public std::runtime_error
{
public:
    Failure(Result code, const std::string& what, int retryQuery = 0)
        : std::runtime_error(what), code(code), retryQuery(retryQuery)
    {
    }

    Result Code() const { return code; }
    int RetryQuery() const { return retryQuery; }

private:
    Result code;
    int retryQuery;
};

// The query events: the connection failed or broke off, the server reported a passing error,
// or a file arrived corrupted.
inline constexpr int QueryConnection = UpdSdk::EventRetryQuery1;
inline constexpr int QueryServer = UpdSdk::EventRetryQuery2;
inline constexpr int QueryCorrupted = UpdSdk::EventRetryQuery3;
} // namespace UpdateServiceCom
