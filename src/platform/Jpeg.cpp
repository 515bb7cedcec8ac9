#include "Jpeg.h"

#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>

#include "FileSystem.h"

namespace {

struct ErrorTrap {
    jpeg_error_mgr mgr;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr info) {
    auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
    (*info->err->format_message)(info, trap->message);
    longjmp(trap->jump, 1);
}

void IgnoreJpegMessage(j_common_ptr, int) {}

}  // namespace

TRgbPicture DecodeJpeg(const uint8_t* data, size_t size, const AnsiString& what) {
    TRgbPicture picture;
    jpeg_decompress_struct info;
    ErrorTrap trap;
    info.err = jpeg_std_error(&trap.mgr);
    trap.mgr.error_exit = OnJpegError;
    trap.mgr.emit_message = IgnoreJpegMessage;  // warnings on a truncated file stay quiet
    if (setjmp(trap.jump)) {
        jpeg_destroy_decompress(&info);
        throw EInvalidGraphic("Invalid JPEG picture " + what + ": " + trap.message);
    }
    jpeg_create_decompress(&info);
    if (size == 0) {
        jpeg_destroy_decompress(&info);
        throw EInvalidGraphic("Invalid JPEG picture " + what + ": empty");
    }
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    picture.Width = static_cast<int>(info.output_width);
    picture.Height = static_cast<int>(info.output_height);
    picture.Pixels.resize(static_cast<size_t>(picture.Width) * picture.Height * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = &picture.Pixels[static_cast<size_t>(info.output_scanline) * picture.Width * 3];
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return picture;
}

TRgbPicture LoadJpegFile(const AnsiString& fileName) {
    AnsiString bytes = ReadWholeFile(fileName);  // its errors name the file
    return DecodeJpeg(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), fileName);
}
