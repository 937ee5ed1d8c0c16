// The members the sweep calls, read from the type libraries, and one call of a member with
// chosen arguments: through the object's vtable (the platform's DispCallFunc, from the member's
// function description) or through IDispatch::Invoke.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Sweep {

// What a parameter carries (for an output: what it points at).
enum class Kind { Long, Short, Bool, Double, Bstr, Variant, Object, Enum, Unsupported };

struct Param {
    Kind kind = Kind::Unsupported;
    bool out = false;
    bool in = false;  // with out: the caller's value is read (in/out)
    bool retval = false;
    bool optional = false;   // optional or with a default value
    IID iid = IID_IUnknown;  // for objects: the interface
};

struct Member {
    std::wstring iface;  // interface name, e.g. L"ISCryptoGraphicKey"
    IID iid{};
    bool dispatchable = false;  // reachable through IDispatch::Invoke
    std::wstring name;          // e.g. L"get_Title"
    MEMBERID memid = 0;
    INVOKEKIND invkind = INVOKE_FUNC;
    short vtableOffset = 0;
    std::vector<Param> params;

    std::wstring Label() const { return iface + L"::" + name; }
    bool Supported() const;
    size_t Required() const;  // parameters a dispatch caller must pass
};

// Every member of the interface iid in lib, inherited members included (those of IUnknown and
// IDispatch excepted).
std::vector<Member> MembersOf(ITypeLib* lib, REFIID iid);

// ---------------------------------------------------------------------------------------------
// One call

// A value for one in-parameter.
enum class Value {
    Good,        // an ordinary value of the parameter's type
    Null,        // null string or object, VT_NULL for a variant
    Empty,       // empty string, VT_EMPTY
    Huge,        // a string of 1 M characters; the largest 32-bit number
    Smallest,    // the smallest 32-bit number; a boolean or enumeration value out of its range
    Odd,         // -1; text with control characters and format specifiers
    Missing,     // dispatch: VT_ERROR / DISP_E_PARAMNOTFOUND
    WrongType,   // dispatch: a value that does not convert (a text for a number, an object for
                 // a text)
    Overflowing  // dispatch: 1e300 as a double
};

// The storage behind an output parameter, filled with a sentinel before the call.
struct OutSlot {
    static constexpr std::uint8_t kSentinel = 0xDB;
    alignas(16) std::uint8_t bytes[64 * 8];
    bool garbage = false;  // started as garbage (see Fill)
    static bool ZeroStart(Kind kind);
    // garbage: strings and objects start as a pointer that faults when followed, a variant as
    // VT_BSTR holding such a pointer (a caller need not prepare an output).
    void Fill(Kind kind, bool garbage = false);
    bool Untouched(Kind kind) const;
    void Release(Kind kind);  // frees what a successful call placed there
};

struct CallResult {
    HRESULT hr = S_OK;
    bool outputsUntouched = true;   // meaningful after a failure
    std::uint64_t allocations = 0;  // made by the member (when counted)
    bool allocationFailed = false;  // the armed allocation failure happened
};

// Allocation counting around the member alone: kNoCount, kCountOnly, or n > 0 to fail the n-th.
inline constexpr std::int64_t kNoCount = -1;
inline constexpr std::int64_t kCountOnly = 0;

class Call {
  public:
    // values: one per parameter (outputs: Good gives a slot, Null a null pointer). object: the
    // object a Good object argument refers to (may be null).
    Call(const Member& member, std::vector<Value> values, IUnknown* object);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Through the vtable of `target` (the member's interface on the object).
    CallResult ThroughVtable(IUnknown* target, std::int64_t failAllocation = kNoCount);
    // Through Invoke of `target` with the first `count` arguments (of the parameters without
    // the return value); resultNull passes no result variant.
    CallResult ThroughInvoke(IDispatch* target, size_t count, bool resultNull);

    // The output written by a successful call, freed and forgotten.
    void ReleaseOutputs();
    // Output-only arguments start as garbage (see OutSlot::Fill) in the calls from now on.
    void GarbageOutputs() { m_garbageOutputs = true; }

  private:
    void BuildValue(size_t index, VARIANT& arg, bool dispatch);
    const Member& m_member;
    std::vector<Value> m_values;
    IUnknown* m_object;
    std::vector<VARIANT> m_args;
    std::vector<OutSlot> m_slots;
    VARIANT m_result;
    bool m_invoked = false;
    bool m_garbageOutputs = false;
    bool m_succeeded = false;
};

// The 1 M-character text (made once).
BSTR HugeText();

}  // namespace Sweep
