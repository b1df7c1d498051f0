// Small COM helpers.
#include "OLE/ole_misc.h"

#include "TK/tk_excep.h"

int ole_get_ref_count(IUnknown* unknown)
{
    if (!unknown)
        TK_MAIL_ASSERT();
    unknown->AddRef();
    return static_cast<int>(unknown->Release());
}

bool ole_is_date_or_bstr(VARTYPE type)
{
    return type == VT_DATE || type == VT_BSTR;
}
