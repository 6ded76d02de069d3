// The reference counting and interface lookup that every COM-style object of
// the client core shares (ComCore.cpp, RmCore.cpp). An object is a record that
// derives from the COM interfaces it serves, with a field
//     std::atomic<ULONG> refs{1};
// that counts its references (the creator holds the first) and a private
// destructor; its IUnknown methods forward here:
//     HRESULT QueryInterface(REFIID riid, void** object) override {
//         return comQuery(*this, riid, object, {comOffer<ITransaction>(IID_ITransaction, this)});
//     }
//     ULONG AddRef() override { return comAddRef(*this); }
//     ULONG Release() override { return comRelease(this); }
// and it declares comRelease a friend so that the last Release can delete it.
#pragma once

#include "contract/txdtc.h"

#include <atomic>
#include <initializer_list>

// One interface an object hands out: its id and the object seen as that interface.
struct ComOffer {
    const IID* iid;  // the interface id asked for
    void* pointer;   // the object as that interface
};

// The offer of interface I (one of object's bases) under iid.
template <class I, class Object>
ComOffer comOffer(REFIID iid, Object* object) {
    return ComOffer{&iid, static_cast<I*>(object)};
}

// One reference more; the count afterwards.
template <class Object>
ULONG comAddRef(Object& object) {
    return ++object.refs;
}

// One reference fewer; the object is deleted at the last. The count afterwards.
template <class Object>
ULONG comRelease(Object* object) {
    ULONG left = --object->refs;
    if (left == 0) delete object;
    return left;
}

// QueryInterface over the interfaces offered: IID_IUnknown yields the first
// offer. E_INVALIDARG for a null out-pointer; E_NOINTERFACE with *out null for
// any other id; S_OK with one reference more otherwise.
template <class Object>
HRESULT comQuery(Object& object, REFIID riid, void** out, std::initializer_list<ComOffer> offers) {
    if (out == nullptr) return E_INVALIDARG;
    *out = nullptr;
    for (const ComOffer& offer : offers) {
        if (riid == *offer.iid || (riid == IID_IUnknown && &offer == offers.begin())) {
            comAddRef(object);
            *out = offer.pointer;
            return S_OK;
        }
    }
    return E_NOINTERFACE;
}
