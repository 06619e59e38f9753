// libheif and its HEVC and AV1 codecs, loaded the first time a HEIF or AVIF
// file is read or written: loading them costs every start of the program
// about 3 ms (the HEVC decoder builds its tables), and most runs touch no
// such file.
#pragma once

#include <libheif/heif.h>

// The functions the codec calls, by name.
#define TESSALINE_HEIF_FUNCTIONS(X) \
    X(heif_context_add_XMP_metadata) \
    X(heif_context_add_exif_metadata) \
    X(heif_context_alloc) \
    X(heif_context_encode_image) \
    X(heif_context_free) \
    X(heif_context_get_encoder_for_format) \
    X(heif_context_get_primary_image_handle) \
    X(heif_context_read_from_reader) \
    X(heif_context_set_max_decoding_threads) \
    X(heif_context_write) \
    X(heif_decode_image) \
    X(heif_decoding_options_alloc) \
    X(heif_decoding_options_free) \
    X(heif_encoder_release) \
    X(heif_encoder_set_lossless) \
    X(heif_encoder_set_lossy_quality) \
    X(heif_encoder_set_parameter_boolean) \
    X(heif_encoder_set_parameter_integer) \
    X(heif_encoder_set_parameter_string) \
    X(heif_encoding_options_alloc) \
    X(heif_encoding_options_free) \
    X(heif_image_add_plane) \
    X(heif_image_create) \
    X(heif_image_get_bits_per_pixel_range) \
    X(heif_image_get_height) \
    X(heif_image_get_plane) \
    X(heif_image_get_plane_readonly) \
    X(heif_image_get_width) \
    X(heif_image_handle_get_height) \
    X(heif_image_handle_get_list_of_metadata_block_IDs) \
    X(heif_image_handle_get_list_of_thumbnail_IDs) \
    X(heif_image_handle_get_metadata) \
    X(heif_image_handle_get_metadata_content_type) \
    X(heif_image_handle_get_metadata_size) \
    X(heif_image_handle_get_metadata_type) \
    X(heif_image_handle_get_number_of_metadata_blocks) \
    X(heif_image_handle_get_number_of_thumbnails) \
    X(heif_image_handle_get_raw_color_profile) \
    X(heif_image_handle_get_raw_color_profile_size) \
    X(heif_image_handle_get_thumbnail) \
    X(heif_image_handle_get_width) \
    X(heif_image_handle_has_alpha_channel) \
    X(heif_image_handle_release) \
    X(heif_image_release) \
    X(heif_image_set_nclx_color_profile) \
    X(heif_image_set_raw_color_profile) \
    X(heif_init) \
    X(heif_nclx_color_profile_alloc) \
    X(heif_nclx_color_profile_free)

struct HeifLibrary {
#define TESSALINE_HEIF_POINTER(name) decltype(&::name) name = nullptr;
    TESSALINE_HEIF_FUNCTIONS(TESSALINE_HEIF_POINTER)
#undef TESSALINE_HEIF_POINTER
};

// The library, initialised; nullptr when it or one of its functions is
// missing. Loaded once, from any thread.
const HeifLibrary* LoadHeifLibrary();

// The text of the failure for the caller's error, when nullptr came back.
const char* HeifLibraryError();
