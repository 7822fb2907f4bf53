// An issuer's OpenID discovery document as a hostile server may send it. A document taken
// from an https issuer elsewhere names https endpoints only.
#include <cstdlib>

#include "common/oauth2/provider.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Init();
    oauth2::TProvider provider =
        oauth2::PresetProvider(oauth2::IssuerProvider, "https://id.example.com");
    std::string error;
    if (!oauth2::ParseDiscovery(fuzz::Text(data, size), provider, error))
        return 0;
    if (!oauth2::SafeEndpoint(provider.AuthorizationEndpoint, provider.Issuer) ||
        !oauth2::SafeEndpoint(provider.TokenEndpoint, provider.Issuer) || provider.Scopes.empty())
        std::abort();
    return 0;
}
