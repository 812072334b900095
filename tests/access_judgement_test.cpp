// The installer's judgement of a file's owner and access list: who besides the trusted accounts may change it.
#include "setup/access_judgement.h"

#include <gtest/gtest.h>

namespace {

const std::string system_sid = "S-1-5-18";
const std::string admins_sid = "S-1-5-32-544";
const std::string users_sid = "S-1-5-32-545";
const std::string authenticated_users_sid = "S-1-5-11";
const std::string installer_sid = "S-1-5-21-1004336348-1177238915-682003330-1001";
const std::vector<std::string> trusted = {
    system_sid, admins_sid, "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", installer_sid};

constexpr std::uint32_t full_control = 0x1F01FF;
constexpr std::uint32_t modify = 0x1301BF;
constexpr std::uint32_t read_execute = 0x1200A9;
constexpr std::uint32_t write_and_delete = 0x10116;
constexpr std::uint8_t container_and_object_inherit = 0x3;

const access_entry system_full = {ace_type_access_allowed, container_and_object_inherit, full_control, system_sid};
const access_entry admins_full = {ace_type_access_allowed, container_and_object_inherit, full_control, admins_sid};
const access_entry users_modify = {ace_type_access_allowed, ace_flag_inherited, modify, users_sid};
const access_entry users_deny_write = {ace_type_access_denied, 0, write_and_delete, users_sid};

struct row {
    const char* what;
    object_security security;
    access_finding finding;
    std::string sid;
    std::uint32_t rights;
    const char* rights_text;
    std::uint32_t checked = rights_that_change;
    account_trust installer = {false, 0}; // what the installing administrator's own account is trusted with
};

constexpr std::uint32_t full_control_that_changes = full_control & rights_that_change;

TEST(access_judgement, finds_the_first_untrusted_account_that_may_change_the_object)
{
    const row rows[] = {
        {"SYSTEM and Administrators only",
         {admins_sid, true, {system_full, admins_full}},
         access_finding::safe,
         "",
         0,
         ""},
        {"Users modify, inherited (not inherit-only)",
         {admins_sid, true, {system_full, admins_full, users_modify}},
         access_finding::untrusted_rights,
         users_sid,
         right_write_data | right_append_data | right_delete,
         "write to or delete"},
        {"inherit-only CREATOR OWNER full control",
         {admins_sid, true, {system_full, {ace_type_access_allowed, 0x0B, right_generic_all, "S-1-3-0"}}},
         access_finding::safe,
         "",
         0,
         ""},
        {"a deny for Users ahead of their allow",
         {admins_sid, true, {users_deny_write, users_modify}},
         access_finding::safe,
         "",
         0,
         ""},
        {"a deny for Everyone ahead of the Users allow",
         {admins_sid, true, {{ace_type_access_denied, 0, write_and_delete, everyone_sid}, users_modify}},
         access_finding::safe,
         "",
         0,
         ""},
        {"the same deny after the allow takes nothing back",
         {admins_sid, true, {users_modify, users_deny_write}},
         access_finding::untrusted_rights,
         users_sid,
         right_write_data | right_append_data | right_delete,
         "write to or delete"},
        {"Everyone read and execute",
         {admins_sid, true, {system_full, {0, 0, read_execute, everyone_sid}}},
         access_finding::safe,
         "",
         0,
         ""},
        {"an untrusted owner",
         {users_sid, true, {system_full}},
         access_finding::untrusted_owner,
         users_sid,
         right_write_dac,
         "change the permissions of"},
        {"a null DACL",
         {admins_sid, false, {}},
         access_finding::null_dacl,
         everyone_sid,
         rights_that_change,
         "do anything with",
         rights_that_change,
         {false, rights_that_change}},
        {"the installing administrator's own account, full control, as owner",
         {installer_sid, true, {system_full, {ace_type_access_allowed, 0, full_control, installer_sid}}},
         access_finding::safe,
         "",
         0,
         "",
         rights_that_change,
         {true, full_control_that_changes}},
        {"a file moved from the administrator's own folder keeps the account's inherited full control",
         {admins_sid, true, {system_full, {ace_type_access_allowed, ace_flag_inherited, full_control, installer_sid}}},
         access_finding::safe,
         "",
         0,
         "",
         rights_that_change,
         {false, full_control_that_changes}},
        {"a folder above that every user may add folders to, as C:\\ ships",
         {trusted[2], true, {system_full, admins_full, {0, 0, right_append_data, authenticated_users_sid}}},
         access_finding::safe,
         "",
         0,
         "",
         rights_that_move},
        {"a folder above that Users may fully control",
         {admins_sid, true, {system_full, {0, container_and_object_inherit, full_control, users_sid}}},
         access_finding::untrusted_rights,
         users_sid,
         right_delete_child | right_delete | right_write_dac | right_write_owner,
         "delete anything in, delete, change the permissions of or take ownership of",
         rights_that_move},
    };
    for (const row& r : rows) {
        const access_judgement judgement = judge_access(r.security, trusted, r.checked);
        EXPECT_EQ(judgement.finding, r.finding) << r.what;
        EXPECT_EQ(judgement.sid, r.sid) << r.what;
        EXPECT_EQ(judgement.rights, r.rights) << r.what;
        EXPECT_EQ(describe_rights(judgement.rights), r.rights_text) << r.what;
        const account_trust installer = trust_of(r.security, installer_sid, r.checked);
        EXPECT_EQ(installer.owner, r.installer.owner) << r.what;
        EXPECT_EQ(installer.rights, r.installer.rights) << r.what;
    }
}

} // namespace
