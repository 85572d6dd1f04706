/* Source attachments: from a parsed scene source to a configured synthesiser. Decides whether
 * a source carries a frame, validates its framing options, builds the framed bits of a bits
 * source (acquisition code, sync word, CRC-16 and the CCSDS chain: marker, Reed-Solomon,
 * randomiser, convolutional code), configures DSSS spreading and RRC shaping. */
#ifndef WFM_SYNTH_BRIDGE_H
#define WFM_SYNTH_BRIDGE_H

#include "qn_api.h"
#include "wfm_spec.h"
#include "wfm_synth_core.h"

QN_EXTERN_C_BEGIN

/* Null arguments follow the null rule of qn_api.h. */

/* 1 when the source asks for a frame (acquisition code, sync word, marker, Reed-Solomon,
 * randomiser or convolutional code; the CRC selector alone does not), else 0. */
QN_API int wfm_source_has_frame(const SourceSpec *src);
/* Null when the framing options are acceptable, else a fixed message (static, not freed). */
QN_API const char *wfm_source_frame_error(const SourceSpec *src);
/* Null when the source can be played as given, else a fixed message: the framing message
 * of wfm_source_frame_error, or why a parameter lies outside what the source's type supports. */
QN_API const char *wfm_source_error(const SourceSpec *src);
/* Bits sources: plays the payload, or the frame built around it. Others: QN_OK, nothing
 * done. QN_OK or QN_ERR_INVALID; a failure leaves the synthesiser as it was. */
QN_API int wfm_source_attach_frame(Synth *s, const SourceSpec *src);
/* DSSS sources: continuous spreading when symbol_rate > 0, else the framed chip stream.
 * Others: QN_OK, nothing done. QN_OK or QN_ERR_INVALID. */
QN_API int wfm_source_attach_dsss(Synth *s, const SourceSpec *src, double fs);
/* RRC shaping of a source with pulse_rrc, sps >= 1 and rrc_span >= 1 (2 * sps * span + 1
 * taps); other sources: QN_OK, nothing done. When the taps or the filter cannot be had (a
 * tap count beyond an int or beyond memory, a failed allocation) the source stays unshaped
 * and the result is still QN_OK. */
QN_API int wfm_source_attach_rrc(Synth *s, const SourceSpec *src);
/* APSK sources (types and bits mappings) with apsk_rings: their ring ratios. Others, and
 * sources without the key: QN_OK, nothing done. */
QN_API int wfm_source_attach_apsk(Synth *s, const SourceSpec *src);
/* A new synthesiser configured for the source at sample rate fs (no chirp span preset, noise
 * not reseeded), or null when the source is incomplete, its framing is refused or any
 * step fails. */
QN_API Synth *wfm_source_to_synth(const SourceSpec *src, double fs);

QN_EXTERN_C_END

#endif
