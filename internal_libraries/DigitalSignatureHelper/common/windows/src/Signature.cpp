// Authenticode through the platform's trust provider (WinVerifyTrust) and its certificate
// services (the PKCS #7 message embedded in the file, its certificate store and the signer's
// certificate). The trust provider accepts data beside the signature in the certificate table
// unless the machine opts in to its strict check, so the table's layout is checked here first.
#include "DigitalSignatureHelper/Signature.h"

#include "ExceptionHelper/Exception.h"
#include "PeImage.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <type_traits>

// clang-format off
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
// clang-format on

namespace DigitalSignatureHelper
{
namespace
{
struct StoreCloser
{
    void operator()(void* store) const { CertCloseStore(store, 0); }
};
struct MessageCloser
{
    void operator()(void* message) const { CryptMsgClose(message); }
};
struct LocalFreer
{
    void operator()(void* memory) const { LocalFree(memory); }
};
struct CertificateFreer
{
    void operator()(const CERT_CONTEXT* certificate) const
    {
        CertFreeCertificateContext(certificate);
    }
};

struct HandleCloser
{
    void operator()(void* handle) const { CloseHandle(handle); }
};

using FileHandle = std::unique_ptr<void, HandleCloser>;
using Store = std::unique_ptr<void, StoreCloser>;
using Message = std::unique_ptr<void, MessageCloser>;
using SignerInfo = std::unique_ptr<CMSG_SIGNER_INFO, LocalFreer>;
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFreer>;
using NameBuffer = std::unique_ptr<wchar_t, LocalFreer>;

static_assert(std::is_same_v<HCERTSTORE, void*> && std::is_same_v<HCRYPTMSG, void*>,
              "the certificate store and message handles are held as plain pointers");

// The signer's certificate: the one in the message's store whose issuer and serial number are
// those that the signer information names.
Certificate SignerCertificate(HCERTSTORE store, HCRYPTMSG message)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size))
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CryptMsgGetParam"));
    const SignerInfo signerInfo(static_cast<CMSG_SIGNER_INFO*>(LocalAlloc(LPTR, size)));
    if (!signerInfo)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't LocalAlloc PCMSG_SIGNER_INFO"));
    if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, signerInfo.get(), &size))
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CryptMsgGetParam"));

    CERT_INFO wanted = {};
    wanted.Issuer = signerInfo->Issuer;
    wanted.SerialNumber = signerInfo->SerialNumber;
    Certificate certificate(CertFindCertificateInStore(store,
                                                       X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                       CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
    if (!certificate)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CertFindCertificateInStore"));
    return certificate;
}

std::wstring SubjectSimpleDisplayNameOf(const CERT_CONTEXT* certificate)
{
    // The length counts the terminator.
    const DWORD length =
        CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length == 0)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CertGetNameString"));
    const NameBuffer name(static_cast<wchar_t*>(LocalAlloc(LPTR, length * sizeof(wchar_t))));
    if (!name)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't LocalAlloc subject_name"));
    const DWORD written = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                             name.get(), length);
    if (written == 0 || written > length)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CertGetNameString"));
    // All written characters but the terminator: a name attribute may hold a NUL, and cutting
    // there would let "Accepted Name\0.example" pass for "Accepted Name".
    return std::wstring(name.get(), written - 1);
}

// The chosen name of the first signer's certificate, from what CryptQueryObject gave.
std::wstring NameFromQuery(BOOL queried, HCERTSTORE rawStore, HCRYPTMSG rawMessage,
                           Signature::NameType type)
{
    // Whatever the call handed out is released on every way out.
    const Store store(rawStore);
    const Message message(rawMessage);
    if (!queried)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CryptQueryObject"));
    if (!store)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("No cert store"));
    if (!message)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CryptMsgGetParam"));

    const Certificate certificate = SignerCertificate(store.get(), message.get());
    if (type != Signature::SubjectSimpleDisplayName)
        BOOST_THROW_EXCEPTION(ExceptionHelper::Exception("Couldn't CertGetNameString"));
    return SubjectSimpleDisplayNameOf(certificate.get());
}

// Reads size bytes at the offset of a file handle.
bool ReadAt(HANDLE file, std::uint64_t offset, void* buffer, std::size_t size)
{
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0)
    {
        OVERLAPPED position = {};
        position.Offset = static_cast<DWORD>(offset);
        position.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(file, bytes, wanted, &got, &position) || got == 0)
            return false;
        bytes += got;
        size -= got;
        offset += got;
    }
    return true;
}

// True when the file's certificate table holds its one signature and nothing else.
bool LayoutIsStrict(HANDLE file)
{
    LARGE_INTEGER size = {};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size) || size.QuadPart < 0)
        return false;
    const auto image =
        Detail::PeImage::Open([file](std::uint64_t offset, void* buffer, std::size_t length)
                              { return ReadAt(file, offset, buffer, length); },
                              static_cast<std::uint64_t>(size.QuadPart));
    LARGE_INTEGER start = {};
    return image && SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
}

// The file opened for verification: readers only, and no writer, renaming or deletion while the
// handle is open, so that everything read through it or through the path meanwhile is the same
// file with the same bytes. Null when it cannot be opened so.
FileHandle OpenForVerification(const std::wstring& path)
{
    const HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return FileHandle(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
}

// The layout check, then the trust provider, on the same handle.
bool VerifyOpened(const std::wstring& path, HANDLE opened)
{
    try
    {
        if (!LayoutIsStrict(opened))
            return false;
    }
    catch (...)
    {
        return false;
    }

    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    file.hFile = opened;
    file.pgKnownSubject = nullptr;

    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.pPolicyCallbackData = nullptr;
    data.pSIPClientData = nullptr;
    data.dwUIChoice = WTD_UI_NONE;
    // Every certificate of the chain but the root is checked for revocation, from what the
    // machine already has: no download, which offline would stall each detection for seconds.
    data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    // The verification state is kept, to read the signer's chain; it is closed below.
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.hWVTStateData = nullptr;
    data.pwszURLReference = nullptr;
    data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | WTD_CACHE_ONLY_URL_RETRIEVAL;
    data.dwUIContext = 0;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    // No signature, an untrusted root, a bad digest, an expired certificate: all are "no".
    const bool verified = WinVerifyTrust(nullptr, &action, &data) == 0;
    // The trust provider's policy lets a chain pass whose revocation state could not be learnt
    // offline. Here that is "no" as well: only a chain known not to be revoked vouches.
    bool revocationKnown = false;
    if (data.hWVTStateData)
    {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer =
            provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        const DWORD unknown = CERT_TRUST_IS_REVOKED | CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                              CERT_TRUST_IS_OFFLINE_REVOCATION;
        revocationKnown = signer && signer->pChainContext &&
                          !(signer->pChainContext->TrustStatus.dwErrorStatus & unknown);
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(nullptr, &action, &data);
    }
    return verified && revocationKnown;
}
} // namespace

bool Signature::Verify(const std::wstring& path)
{
    const FileHandle file = OpenForVerification(path);
    return file && VerifyOpened(path, file.get());
}

std::optional<std::wstring> Signature::VerifiedCertificateName(const std::wstring& path,
                                                               NameType type)
{
    const FileHandle file = OpenForVerification(path);
    if (!file || !VerifyOpened(path, file.get()))
        return std::nullopt;
    // Read while the handle still keeps the file as it was verified.
    return CertificateName(boost::filesystem::path(path), type);
}

std::wstring Signature::CertificateName(const boost::filesystem::path& path, NameType type)
{
    HCERTSTORE rawStore = nullptr;
    HCRYPTMSG rawMessage = nullptr;
    const std::wstring file = path.wstring();
    const BOOL queried =
        CryptQueryObject(CERT_QUERY_OBJECT_FILE, file.c_str(),
                         CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                         0, nullptr, nullptr, nullptr, &rawStore, &rawMessage, nullptr);
    return NameFromQuery(queried, rawStore, rawMessage, type);
}

std::optional<std::wstring> Signature::VerifiedCertificateName(void* file, const std::wstring& path,
                                                               NameType type)
{
    if (!file || file == INVALID_HANDLE_VALUE || !VerifyOpened(path, file))
        return std::nullopt;
    // The name comes from the one signature that the layout check allowed and the trust provider
    // verified, read again through the same handle.
    std::unique_ptr<Detail::PeImage> image;
    try
    {
        LARGE_INTEGER size = {};
        if (!GetFileSizeEx(file, &size) || size.QuadPart < 0)
            return std::nullopt;
        image = Detail::PeImage::Open([file](std::uint64_t offset, void* buffer, std::size_t length)
                                      { return ReadAt(file, offset, buffer, length); },
                                      static_cast<std::uint64_t>(size.QuadPart));
    }
    catch (...)
    {
        return std::nullopt;
    }
    if (!image)
        return std::nullopt;
    CRYPT_DATA_BLOB signedData = {};
    signedData.cbData = static_cast<DWORD>(image->SignedData().size());
    signedData.pbData = const_cast<BYTE*>(image->SignedData().data());
    HCERTSTORE rawStore = nullptr;
    HCRYPTMSG rawMessage = nullptr;
    const BOOL queried =
        CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &signedData, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                         CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &rawStore,
                         &rawMessage, nullptr);
    return NameFromQuery(queried, rawStore, rawMessage, type);
}
} // namespace DigitalSignatureHelper
