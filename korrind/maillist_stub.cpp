// Placeholder until the server mail list window is built: lists nothing, deletes nothing.
#include "korrind/popviewfrm.h"

int TCorvexFrm::OpenServerMailList(int)
{
    return 0;
}
