// Host objects that take back the IDs they were stored under.
#include "import.h"

#include "repository.h"

namespace RefHost {

HRESULT NewObjectWithId(Repository& repository, std::wstring_view kind, long id,
                        ISInfoObject** object) noexcept try {
    using namespace Detail;
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    auto* impl = dynamic_cast<RepositoryImpl*>(&repository);
    if (impl == nullptr || id <= 0) return E_INVALIDARG;
    if (impl->Contains(id)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    KindInfo info;
    if (!impl->FindKind(kind, info)) return KV_E_PROPERTYNOTFOUND;

    // IDs come from one counter that only NewObjectOf advances: take new objects until the
    // counter has reached `id`, so that no later object can be given it. A saved repository
    // read back in ID order needs one object per ID.
    ComPtr<CInfoObject> created;
    HRESULT hr = impl->NewObjectOf(info, &created);
    if (FAILED(hr)) return hr;
    long given = created->IdOrZero();
    if (given < id && id - given > kMaxImportIdGap) return E_INVALIDARG;
    while (given < id) {
        created.Reset();
        hr = impl->NewObjectOf(info, &created);
        if (FAILED(hr)) return hr;
        given = created->IdOrZero();
    }
    if (given != id) {
        Variant value;
        value.SetLong(id);
        hr = created->Bag().SetValue(Prop::kId, value.ref());
        if (FAILED(hr)) return hr;
    }
    *object = static_cast<ISInfoObject*>(created.Detach());
    return S_OK;
}
HOST_CATCH()

}  // namespace RefHost
