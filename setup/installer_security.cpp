// Who is installing (elevation, own account) and whether an untrusted account could change a given path.
#include "setup/installer_security.h"

#include "setup/access_judgement.h"
#include "setup/install_judgement.h"
#include "setup/setup_output.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

// Longer account and domain names do not exist (UNLEN, DNLEN and the DNS form of a domain stay below).
constexpr DWORD account_name_chars = 256;

DWORD sid_to_string(PSID sid, std::string& text)
{
    LPWSTR wide = nullptr;
    DWORD error = ERROR_SUCCESS;

    if (!ConvertSidToStringSidW(sid, &wide)) {
        error = GetLastError();
    } else {
        text = to_utf8(wide);
    }
    if (wide != nullptr) {
        LocalFree(wide);
        wide = nullptr;
    }
    return error;
}

// The owner and access list in the form the judgement takes. Only the entry types it weighs have their
// SID read; the allowed, denied and allowed-callback entries share one layout: header, mask, SID.
DWORD read_object_security(const std::wstring& path, object_security& security)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;

    DWORD error =
        GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, &dacl, nullptr, &descriptor);
    if (error == ERROR_SUCCESS) {
        error = sid_to_string(owner, security.owner_sid);
    }
    // A descriptor without a DACL, or with a null one, comes back as a null pointer: both grant everything.
    security.dacl_present = dacl != nullptr;
    for (DWORD i = 0; error == ERROR_SUCCESS && dacl != nullptr && i < dacl->AceCount; ++i) {
        LPVOID ace = nullptr;
        if (!GetAce(dacl, i, &ace)) {
            error = GetLastError();
            break;
        }
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        access_entry entry = {header->AceType, header->AceFlags, 0, {}};
        if (entry.type == ace_type_access_allowed || entry.type == ace_type_access_denied ||
            entry.type == ace_type_access_allowed_callback) {
            auto* body = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            entry.mask = body->Mask;
            error = sid_to_string(&body->SidStart, entry.sid);
        }
        security.entries.push_back(entry);
    }
    if (descriptor != nullptr) {
        LocalFree(descriptor);
        descriptor = nullptr;
    }
    return error;
}

// UAC's filtered token keeps the administrator's own account, so what trusts that account by name can be
// replaced by any program the administrator starts without elevation. Microsoft does not count UAC as a
// security boundary, so this is a warning, not a refusal.
void warn_if_installer_trusted(const std::wstring& path, const object_security& security,
                               const std::string& installer_sid, bool above, bool& installer_trusted)
{
    const account_trust trust = trust_of(security, installer_sid, above ? rights_that_move : rights_that_change);
    installer_trusted = !installer_sid.empty() && (trust.owner || trust.rights != 0);
    if (!installer_trusted) {
        return;
    }
    std::wstring what;
    if (trust.owner) {
        what = L"owns";
    }
    if (trust.rights != 0) {
        what += std::wstring(trust.owner ? L" and " : L"") + L"may " + from_utf8(describe_rights(trust.rights));
    }
    say(L"warning: your own account, " + account_name(installer_sid) + L", " + what + L" " + quoted(path));
}

// Nulled (to INVALID_HANDLE_VALUE, CreateFileW's failure value) once closed, so it is never closed twice.
void close_file(HANDLE* file)
{
    if (*file != INVALID_HANDLE_VALUE) {
        CloseHandle(*file);
        *file = INVALID_HANDLE_VALUE;
    }
}

} // namespace

DWORD read_installer(bool& elevated, std::string& user_sid)
{
    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation = {};
    alignas(TOKEN_USER) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD length = 0;
    DWORD error = ERROR_SUCCESS;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        error = GetLastError();
        token = nullptr;
    } else if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &length) ||
               !GetTokenInformation(token, TokenUser, user, sizeof user, &length)) {
        error = GetLastError();
    } else {
        // A UAC-filtered administrator token reports 0 here; only the full token reports 1.
        elevated = elevation.TokenIsElevated != 0;
        error = sid_to_string(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, user_sid);
    }
    if (token != nullptr) {
        CloseHandle(token);
        token = nullptr;
    }
    return error;
}

std::wstring account_name(const std::string& sid)
{
    PSID binary = nullptr;
    WCHAR name[account_name_chars] = {};
    WCHAR domain[account_name_chars] = {};
    DWORD name_chars = account_name_chars;
    DWORD domain_chars = account_name_chars;
    SID_NAME_USE use = SidTypeUnknown;
    std::wstring result = from_utf8(sid);

    // Well-known groups such as Everyone have no domain; some (TrustedInstaller under Wine) have no name.
    if (!ConvertStringSidToSidW(result.c_str(), &binary)) {
        binary = nullptr;
    } else if (LookupAccountSidW(nullptr, binary, name, &name_chars, domain, &domain_chars, &use)) {
        result = domain[0] != 0 ? std::wstring(domain) + L"\\" + name : std::wstring(name);
    }
    if (binary != nullptr) {
        LocalFree(binary);
        binary = nullptr;
    }
    return result;
}

DWORD check_path_safety(const std::wstring& path, checked_path role, const std::vector<std::string>& trusted_sids,
                        const std::string& installer_sid, bool& safe, bool& installer_trusted)
{
    const bool above = role == checked_path::folder_above;
    object_security security = {};
    const DWORD error = read_object_security(path, security);
    if (error != ERROR_SUCCESS) {
        return report_failure(L"reading the owner and permissions of " + quoted(path), error);
    }
    const access_judgement judgement =
        judge_access(security, trusted_sids, above ? rights_that_move : rights_that_change);
    std::wstring finding;
    switch (judgement.finding) {
    case access_finding::safe:
        say(L"checked " + quoted(path) +
            (above
                 ? L" (a folder above): only SYSTEM, Administrators, TrustedInstaller and you may rename or replace it"
                 : L": only SYSTEM, Administrators, TrustedInstaller and you may change it"));
        safe = true;
        warn_if_installer_trusted(path, security, installer_sid, above, installer_trusted);
        return ERROR_SUCCESS;
    case access_finding::untrusted_owner:
        finding = account_name(judgement.sid) + L" owns " + quoted(path);
        break;
    case access_finding::null_dacl:
        finding = quoted(path) + L" has no access list (a null DACL), so Everyone may do anything with it";
        break;
    case access_finding::untrusted_rights:
        finding = account_name(judgement.sid) + L" may " + from_utf8(describe_rights(judgement.rights)) + L" " +
                  quoted(path) + L" (rights " + hex(judgement.rights) + L")";
        break;
    }
    say(L"unsafe: " + finding +
        L" (an account other than SYSTEM, Administrators, TrustedInstaller or you could replace a program that "
        L"runs as LocalSystem)");
    safe = false;
    return ERROR_SUCCESS;
}

DWORD final_path(const std::wstring& path, std::wstring& resolved)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;

    // Attributes only, shared every way, so a running service program can be opened too; backup
    // semantics let the same call open a folder.
    file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
    } else {
        // The longest path Windows takes, so the answer is never cut.
        std::wstring buffer(32768, L'\0');
        // Wine 8 names a handle into a fixed buffer of about MAX_PATH and fails a longer path with 234.
        const DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            error = GetLastError();
        } else if (length >= buffer.size()) {
            error = ERROR_INSUFFICIENT_BUFFER;
        } else {
            buffer.resize(length);
            resolved = without_long_path_prefix(buffer);
        }
    }
    close_file(&file);
    return error;
}

DWORD refuse_reparse_points(const std::vector<std::wstring>& paths, const std::wstring& use_instead)
{
    bool found = false;
    for (const std::wstring& path : paths) {
        // The attributes of the link itself: GetFileAttributesW does not follow it. A path that cannot be
        // read is left to the checks that need it, which report it.
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            continue;
        }
        std::wstring target;
        const DWORD error = final_path(path, target);
        say(quoted(path) + L" is a reparse point (a link or junction) that resolves to " +
            (error == ERROR_SUCCESS ? quoted(target)
                                    : L"a path this system cannot name (error " + std::to_wstring(error) + L")"));
        found = true;
    }
    if (!found) {
        return ERROR_SUCCESS;
    }
    // The access check reads the target's permissions, never the link's: a link made under C:\ inherits
    // "Authenticated Users: Modify", so any signed-in user could remove it and put their own folder there.
    return report_failure(L"refused: whoever may remove a link can put other programs in its place; install from " +
                              quoted(use_instead) + L" instead",
                          ERROR_ACCESS_DENIED);
}
