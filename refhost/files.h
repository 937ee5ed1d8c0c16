// The files of an InfoObject: the file list (ISFiles), a file with its contents (ISFile) and a
// sequential reader over those contents (ISStreamingFile). Contents are immutable byte blocks
// shared between a file, its readers and committed copies; writing the contents replaces the
// block.
#pragma once

#include <memory>
#include <vector>

#include "hostcore.h"

namespace RefHost::Detail {

using Bytes = std::shared_ptr<const std::vector<BYTE>>;

// A file as the repository keeps it.
struct FileRecord {
    std::wstring name;
    Bytes contents;
};

// Files larger than this are refused (ISFiles::Add, ISFile::put_Contents) with E_OUTOFMEMORY.
inline constexpr size_t kMaxFileSize = 256u << 20;

class CStreamingFile final : public ComLib::IDispatchImpl<ISStreamingFile, &IID_ISStreamingFile,
                                                          &LIBID_KorvelInfoStoreLib>,
                             public HostObject {
  public:
    explicit CStreamingFile(Bytes contents) noexcept : m_contents(std::move(contents)) {}

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_Size)(LONG* pSize) override;
    STDMETHOD(get_Position)(LONG* pPosition) override;
    // Up to count bytes from the position on (fewer at the end, none past it) as
    // VT_ARRAY | VT_UI1; E_INVALIDARG for a negative count. After Close every member but Close
    // fails with HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE).
    STDMETHOD(Read)(LONG count, VARIANT* pBytes) override;
    // S_OK; S_FALSE when already closed.
    STDMETHOD(Close)() override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISStreamingFile*>(this); }

  private:
    ~CStreamingFile() override = default;
    HostLock m_lock;
    Bytes m_contents;  // guarded by m_lock; null once closed
    size_t m_position = 0;
};

class CFile final : public ComLib::IDispatchImpl<ISFile, &IID_ISFile, &LIBID_KorvelInfoStoreLib>,
                    public HostObject {
  public:
    CFile(std::wstring name, Bytes contents) noexcept
        : m_name(std::move(name)), m_contents(std::move(contents)) {}

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_Name)(BSTR* pName) override;
    STDMETHOD(get_Size)(LONG* pSize) override;
    // A new VT_ARRAY | VT_UI1 (lower bound 0) holding the contents.
    STDMETHOD(get_Contents)(VARIANT* pContents) override;
    // A one-dimensional array of unsigned bytes; DISP_E_TYPEMISMATCH for anything else.
    STDMETHOD(put_Contents)(VARIANT contents) override;
    // A new reader over the contents as they are now.
    STDMETHOD(get_StreamingFile)(ISStreamingFile** ppStreamingFile) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISFile*>(this); }
    FileRecord Record();

  private:
    ~CFile() override = default;
    HostLock m_lock;
    const std::wstring m_name;
    Bytes m_contents;  // guarded by m_lock
};

class CFiles final : public ComLib::IDispatchImpl<ISFiles, &IID_ISFiles, &LIBID_KorvelInfoStoreLib>,
                     public HostObject {
  public:
    CFiles() noexcept = default;

    REFHOST_REFCOUNT
    STDMETHOD(QueryInterface)(REFIID iid, void** ppv) override;
    STDMETHOD(get_Count)(LONG* pCount) override;
    STDMETHOD(get__NewEnum)(IUnknown** ppEnum) override;
    // Reads the file at localPath (a path of this machine) into a new file named after its last
    // path component. The Win32 error of opening or reading it as a status.
    STDMETHOD(Add)(BSTR localPath, ISFile** ppFile) override;
    // position: 1..count; KV_E_PROPERTYNOTFOUND outside.
    STDMETHOD(Delete)(VARIANT position) override;
    STDMETHOD(get_TotalSize)(LONG* pSize) override;
    // position: 1..count; KV_E_PROPERTYNOTFOUND outside (so an empty list has no position 1).
    STDMETHOD(get_Item)(VARIANT position, ISFile** ppFile) override;

    IUnknown* HostIdentity() noexcept { return static_cast<ISFiles*>(this); }

    // Internal access (no hook).
    ComPtr<CFile> Append(std::wstring name, Bytes contents);
    std::vector<FileRecord> Records();
    void Replace(const std::vector<FileRecord>& records);
    void RemoveAll();

  private:
    ~CFiles() override = default;
    HostLock m_lock;
    std::vector<ComPtr<CFile>> m_files;  // guarded by m_lock
};

// A byte array (VT_ARRAY | VT_UI1, lower bound 0) holding bytes. Throws std::bad_alloc.
void BytesToVariant(const std::vector<BYTE>& bytes, size_t offset, size_t count, VARIANT* target);

}  // namespace RefHost::Detail
