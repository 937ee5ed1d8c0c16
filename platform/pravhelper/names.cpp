// Property names of the repository: each constant's text is the property name itself.
#include "pravhelper500.h"

namespace Pravhelper500 {

#define PRAVHELPER_WIDEN_(text) L##text
#define PRAVHELPER_WIDEN(text) PRAVHELPER_WIDEN_(text)
#define PRAVHELPER_DEFINE_WIDE_NAME(name) \
    const wchar_t* const WP_##name##_W = PRAVHELPER_WIDEN(#name);
PRAVHELPER_PROPERTY_NAMES(PRAVHELPER_DEFINE_WIDE_NAME)
#undef PRAVHELPER_DEFINE_WIDE_NAME
#undef PRAVHELPER_WIDEN
#undef PRAVHELPER_WIDEN_

const char* const WP_SI_IS_PUBLICATION_JOB = "SI_IS_PUBLICATION_JOB";
const char* const WP_SI_IS_PUBLICATION_GLOBAL_DELIVERY_RULE_JOB =
    "SI_IS_PUBLICATION_GLOBAL_DELIVERY_RULE_JOB";

}  // namespace Pravhelper500
