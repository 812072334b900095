// The access list of a file or folder judged as Windows evaluates it, for the accounts it must not trust.
#include "setup/access_judgement.h"

#include <algorithm>

namespace {

bool is_trusted(const std::string& sid, const std::vector<std::string>& trusted_sids)
{
    return std::find(trusted_sids.begin(), trusted_sids.end(), sid) != trusted_sids.end();
}

// An inherit-only entry is only handed on to what is created inside a folder; the inherited flag, by
// contrast, says where an entry came from and leaves it in full force on the object.
bool applies_to_object(const access_entry& entry)
{
    return (entry.flags & ace_flag_inherit_only) == 0;
}

// Only these two grant on a file. Leaving out the other types errs towards "unsafe" wherever it matters:
// audit and alarm entries grant nothing, a mandatory label can only take rights away, and a deny entry of
// another form (callback, object) that is left out only leaves more rights granted. The one exception is an
// allowed object entry without an object type, which the access check would honour; such entries belong
// to directory-service objects, and neither Explorer nor icacls writes them on a file.
bool is_allow(const access_entry& entry)
{
    return entry.type == ace_type_access_allowed || entry.type == ace_type_access_allowed_callback;
}

// What one account keeps of the rights granted to it by name, walking the list in order as the access
// check does: a right is settled by the first entry that names it, so a deny ahead of an allow takes the
// right away, and a deny after it takes nothing back. Denies for Everyone apply to every account.
// Generic bits are taken as they stand: an allowed GENERIC_WRITE counts as a write right, while a denied
// GENERIC_WRITE is not taken to remove a specific right granted later, which errs towards "unsafe".
std::uint32_t rights_of(const object_security& security, const std::string& sid, std::uint32_t rights_checked)
{
    std::uint32_t granted = 0;
    std::uint32_t denied = 0;
    for (const access_entry& entry : security.entries) {
        if (!applies_to_object(entry)) {
            continue;
        }
        const std::uint32_t rights = entry.mask & rights_checked;
        if (entry.type == ace_type_access_denied && (entry.sid == sid || entry.sid == everyone_sid)) {
            denied |= rights & ~granted;
        } else if (is_allow(entry) && entry.sid == sid) {
            granted |= rights & ~denied;
        }
    }
    return granted;
}

void add_phrase(std::string& text, const char* phrase, bool last)
{
    if (!text.empty()) {
        text += last ? " or " : ", ";
    }
    text += phrase;
}

} // namespace

access_judgement judge_access(const object_security& security, const std::vector<std::string>& trusted_sids,
                              std::uint32_t rights_checked)
{
    // The owner may always rewrite the access list, whatever it says today.
    if (!is_trusted(security.owner_sid, trusted_sids)) {
        return {access_finding::untrusted_owner, security.owner_sid, right_write_dac};
    }
    if (!security.dacl_present) {
        return {access_finding::null_dacl, everyone_sid, rights_checked};
    }
    for (const access_entry& entry : security.entries) {
        if (!applies_to_object(entry) || !is_allow(entry) || is_trusted(entry.sid, trusted_sids)) {
            continue;
        }
        const std::uint32_t rights = rights_of(security, entry.sid, rights_checked);
        if (rights != 0) {
            return {access_finding::untrusted_rights, entry.sid, rights};
        }
    }
    return {access_finding::safe, {}, 0};
}

account_trust trust_of(const object_security& security, const std::string& sid, std::uint32_t rights_checked)
{
    const std::uint32_t rights = security.dacl_present ? rights_of(security, sid, rights_checked) : rights_checked;
    return {security.owner_sid == sid, rights};
}

std::string describe_rights(std::uint32_t rights)
{
    if ((rights & right_generic_all) != 0) {
        return "do anything with";
    }
    const char* phrases[5] = {};
    int count = 0;
    if ((rights & (right_write_data | right_append_data | right_generic_write)) != 0) {
        phrases[count++] = "write to";
    }
    if ((rights & right_delete_child) != 0) {
        phrases[count++] = "delete anything in";
    }
    if ((rights & right_delete) != 0) {
        phrases[count++] = "delete";
    }
    if ((rights & right_write_dac) != 0) {
        phrases[count++] = "change the permissions of";
    }
    if ((rights & right_write_owner) != 0) {
        phrases[count++] = "take ownership of";
    }
    std::string text;
    for (int i = 0; i < count; ++i) {
        add_phrase(text, phrases[i], i == count - 1);
    }
    return text;
}
