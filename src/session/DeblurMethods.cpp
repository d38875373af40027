#include "DeblurMethods.h"

#include "Convolve.h"
#include "Deconvolve.h"
#include "Deconvolve_wnr.h"
#include "FitRefocus.h"
#include "Richard_Lucy.h"
#include "Richard_Lucy_Threshold.h"
#include "USM.h"
#include "Wiener_FIR.h"

const DeblurMethods& DefaultDeblurMethods() {
    static const DeblurMethods methods = {
        unsharp_mask,
        unsharp_mask_mem_usage,
        deconvolve_wiener_fir,
        deconvolve_wiener_fir_mem_usage,
        deconvolve_wnr_iir,
        deconvolve_wnr_iir_mem_usage,
        deconvolve_lucy_richard,
        deconvolve_lucy_richard_mem_usage,
        deconvolve_lucy_richard_threshold,
        deconvolve_lucy_richard_threshold_mem_usage,
        deconvolve_sllsbox,
        deconvolve_sllsbox_mem_usage,
        fit_refocus,
        fit_refocus_mem_usage,
        convolve,
        convolve_mem_usage,
    };
    return methods;
}
