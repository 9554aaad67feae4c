// Small owning holders for the liquid-dsp and FFTW objects of the precise receiver: each object is
// created with its parameters, destroyed with its holder, and never shared between receivers.
#pragma once

#include <complex>
#include <liquid/liquid.h>
#include <memory>

namespace precise {

template <typename T, int (*Destroy)(T)> struct TLiquidDeleter {
    void operator()(T aObject) const {
        if (aObject) Destroy(aObject);
    }
};

template <typename Object, int (*Destroy)(Object)>
using TLiquidHolder = std::unique_ptr<std::remove_pointer_t<Object>, TLiquidDeleter<Object, Destroy>>;

using TResampler = TLiquidHolder<msresamp_crcf, msresamp_crcf_destroy>;

} // namespace precise
