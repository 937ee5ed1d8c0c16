// Object-helper library of the platform ("libPravHelperw-5-0"): error reports and the names of
// repository properties.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "zentil500.h"

namespace Pravhelper500 {

// Message ids of the library's string table.
enum : UINT {
    MSG_CLONE_FAILED = 42200,         // no arguments
    MSG_INDEX_NOT_FOUND = 42208,      // %1: the index as text
    MSG_ID_NOT_IN_COLLECTION = 42211, // no arguments
    MSG_ENUM_CREATION_FAILED = 42502, // no arguments
    MSG_INVALID_POINTER = 42505,      // no arguments
    MSG_HTML_ACTION_REFUSED = 62620,  // no arguments
};

// Records rich error information for the caller of the current interface method (the platform's
// CreateErrorInfo/SetErrorInfo): description = message `messageId` in the calling thread's locale
// with its placeholders filled by `arguments`, GUID = iid, source = the ProgID of clsid (or its
// text form). Returns `status`, the status the method then returns.
HRESULT ReportTormicError(REFCLSID clsid, REFIID iid, UINT messageId,
                          const Zentil500::SIArray<Zentil500::SWCharString>& arguments,
                          HRESULT status);

// The message text of messageId in locale (0: the thread's locale), from this library's table.
// Empty when the table has no such message (ReportTormicError then writes "Message <id>" and
// the arguments).
Zentil500::SWCharString LoadMessage(UINT messageId, LCID locale = 0);

// Property names. Each text is the property name itself (WP_SI_SCOPE_ID_W is L"SI_SCOPE_ID").
#define PRAVHELPER_PROPERTY_NAMES(X)                                                          \
    X(SI_ADM_ADD_) X(SI_ADM_DEL_) X(SI_ADM_UPD_) X(SI_ARTIFACTS_SCOPEBATCH)                   \
    X(SI_ARTIFACTS_SCOPEBATCHDOC) X(SI_ARTIFACTS_SOURCEDOC) X(SI_ARTIFACT_PARENT_ID)          \
    X(SI_CATEGORIES) X(SI_CORPORATE_CATEGORIES) X(SI_CREATION_TIME)                           \
    X(SI_DELIVERY_RULE_EXPRESSION) X(SI_DELIVERY_RULE_OPTIONS) X(SI_DELIVERY_RULE_RESULTS)    \
    X(SI_DELIVERY_SKIPPED) X(SI_DELIVER_EMPTY_DOCUMENT) X(SI_DELIVER_IF_ALERT_IS_TRUE)        \
    X(SI_DERIVED_KEY) X(SI_DYNAMIC_RECIPIENTS_PROFILE_VALUE_MAPPINGS) X(SI_FORMAT)            \
    X(SI_FORMAT_INFOS) X(SI_ID) X(SI_IS_COMPROMISED) X(SI_IS_DYNAMICRECIPIENTS_SCOPES)        \
    X(SI_IS_PLUGIN_ARTIFACT) X(SI_KEY_STATE) X(SI_MIMETYPE) X(SI_MULTIPASSBURSTING)           \
    X(SI_NEWOBJECT) X(SI_PERSONAL_CATEGORIES) X(SI_PUBLICATION_DOCUMENTPROFILE_TARGETS)       \
    X(SI_PUBLICATION_KEEP_SAVED_DATA) X(SI_RESOURCE_ID) X(SI_SCOPEBATCH_SCOPES)               \
    X(SI_SCOPE_ID) X(SI_SHOW_ALL_DATA_FOR_NULL_PROFILE_VALUES) X(SI_SUBST_STRINGS)            \
    X(SI_TOTAL) X(SI_VALUE) X(SI_VARIABLE_MAPPINGS) X(SI_NAME) X(SI_KIND) X(SI_TITLE)

#define PRAVHELPER_DECLARE_WIDE_NAME(name) extern const wchar_t* const WP_##name##_W;
PRAVHELPER_PROPERTY_NAMES(PRAVHELPER_DECLARE_WIDE_NAME)
#undef PRAVHELPER_DECLARE_WIDE_NAME

// The two narrow names.
extern const char* const WP_SI_IS_PUBLICATION_JOB;
extern const char* const WP_SI_IS_PUBLICATION_GLOBAL_DELIVERY_RULE_JOB;

}  // namespace Pravhelper500
