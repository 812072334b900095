// The action of the package for the tests that fails on purpose, right after the registration: one line in the
// /l*v log, then 1603, so that a test sees what the rollback of the steps before it leaves. Never in a release.
#include <windows.h>

#include <msiquery.h>

extern "C" __declspec(dllexport) UINT __stdcall FailAfterRegistration(MSIHANDLE session)
{
    // The record's template is the line; it holds no bracket or brace, which the log would format.
    const MSIHANDLE record = MsiCreateRecord(0);
    if (record != 0) {
        if (MsiRecordSetStringW(record, 0,
                                L"OrvaneTest: this package is built for the tests and fails here on purpose, right "
                                L"after the registration: error 1603") == ERROR_SUCCESS) {
            MsiProcessMessage(session, INSTALLMESSAGE_INFO, record);
        }
        MsiCloseHandle(record);
    }
    return ERROR_INSTALL_FAILURE;
}
