// Host objects that take back the IDs they were stored under.
#include "import.h"

#include "bag.h"
#include "repository.h"

namespace RefHost {

namespace {

HRESULT MakeWithId(Repository& repository, std::wstring_view kind, long id, bool empty,
                   ISInfoObject** object) {
    using namespace Detail;
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    auto* impl = dynamic_cast<RepositoryImpl*>(&repository);
    if (impl == nullptr || id <= 0) return E_INVALIDARG;
    if (impl->Contains(id)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    KindInfo info;
    if (!impl->FindKind(kind, info)) return KV_E_PROPERTYNOTFOUND;

    // The object is made with `id` at once: the repository's counter of new IDs moves above it
    // without making anything for the IDs in between.
    ComPtr<CInfoObject> created;
    const HRESULT hr = impl->NewObjectOf(info, &created, id, empty);
    if (FAILED(hr)) return hr;
    *object = static_cast<ISInfoObject*>(created.Detach());
    return S_OK;
}

}  // namespace

HRESULT NewObjectWithId(Repository& repository, std::wstring_view kind, long id,
                        ISInfoObject** object) noexcept try {
    return MakeWithId(repository, kind, id, false, object);
}
HOST_CATCH()

HRESULT NewEmptyObjectWithId(Repository& repository, std::wstring_view kind, long id,
                             ISInfoObject** object) noexcept try {
    return MakeWithId(repository, kind, id, true, object);
}
HOST_CATCH()

HRESULT AddSavedProperty(ISProperties* bag, std::wstring_view name, VARIANT& value, long flags,
                         ISProperties** nested) noexcept try {
    using namespace Detail;
    auto* host = dynamic_cast<CBag*>(bag);
    if (host == nullptr) return E_INVALIDARG;
    ComPtr<CProperty> property;
    const HRESULT hr = host->TakeProperty(name, value, flags, &property);
    if (FAILED(hr) || nested == nullptr) return hr;
    return property->get_Properties(nested);
}
HOST_CATCH()

HRESULT MarkLoaded(Repository& repository, ISInfoObject* object) noexcept try {
    using namespace Detail;
    auto* impl = dynamic_cast<RepositoryImpl*>(&repository);
    CInfoObject* host = CInfoObject::FromInterface(object);
    if (impl == nullptr || host == nullptr) return E_INVALIDARG;
    return impl->MarkLoaded(*host);
}
HOST_CATCH()

}  // namespace RefHost
