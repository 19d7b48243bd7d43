#include "credentials/privatefile.h"

#include <QDir>
#include <QRandomGenerator>

#include <memory>

#include <windows.h>

#include <aclapi.h>

namespace credentials {

namespace {

struct HandleCloser
{
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// The TOKEN_USER of this process: the user that the file is private to.
std::unique_ptr<BYTE[]> currentUser()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return nullptr;
    const UniqueHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(raw, TokenUser, nullptr, 0, &size);
    if (size == 0)
        return nullptr;
    auto user = std::make_unique<BYTE[]>(size);
    if (!GetTokenInformation(raw, TokenUser, user.get(), size, &size))
        return nullptr;
    return user;
}

// The file's access list, given when the file is created: one entry, full control for this user,
// and protected, so that nothing the folder grants to others is inherited. Whatever `acl`'s
// buffer holds must outlive the descriptor.
bool privateDescriptor(const TOKEN_USER &user, std::unique_ptr<BYTE[]> &acl,
                       SECURITY_DESCRIPTOR &descriptor)
{
    const DWORD aclSize =
        sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(user.User.Sid);
    acl = std::make_unique<BYTE[]>(aclSize);
    auto *list = reinterpret_cast<ACL *>(acl.get());
    return InitializeAcl(list, aclSize, ACL_REVISION) &&
           AddAccessAllowedAce(list, ACL_REVISION, FILE_ALL_ACCESS, user.User.Sid) &&
           InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
           SetSecurityDescriptorOwner(&descriptor, user.User.Sid, FALSE) &&
           SetSecurityDescriptorDacl(&descriptor, TRUE, list, FALSE) &&
           SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
}

std::wstring nativePath(const QString &fileName)
{
    return QDir::toNativeSeparators(fileName).toStdWString();
}

bool writeAll(HANDLE file, const QByteArray &data)
{
    DWORD written = 0;
    return WriteFile(file, data.constData(), DWORD(data.size()), &written, nullptr) &&
           written == DWORD(data.size()) && FlushFileBuffers(file);
}

} // namespace

bool replaceWithPrivateFile(const QString &fileName, const QByteArray &data)
{
    const std::unique_ptr<BYTE[]> user = currentUser();
    std::unique_ptr<BYTE[]> acl;
    SECURITY_DESCRIPTOR descriptor;
    if (!user || !privateDescriptor(*reinterpret_cast<TOKEN_USER *>(user.get()), acl, descriptor))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};

    // A new name beside the target, created exclusively and not shared while it is written.
    std::wstring temporary;
    UniqueHandle file;
    for (int attempt = 0; attempt < 16 && !file; ++attempt) {
        temporary = nativePath(fileName + QLatin1Char('.') +
                               QString::number(QRandomGenerator::global()->generate(), 36));
        HANDLE raw = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (raw != INVALID_HANDLE_VALUE)
            file.reset(raw);
        else if (GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    if (!file)
        return false;
    const bool written = writeAll(file.get(), data);
    // Closed before the move: Windows does not move a file that is still open.
    file.reset();
    if (written && MoveFileExW(temporary.c_str(), nativePath(fileName).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DeleteFileW(temporary.c_str());
    return false;
}

} // namespace credentials
