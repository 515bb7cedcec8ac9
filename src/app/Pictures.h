// Pictures compiled into the program (made by tools/make_skins.sh): the
// progress-bar frame of the main window, the server dialog's pictures and the
// program's icon.
#pragma once
#include <cstddef>
#include <cstdint>

#define SKIFF_PICTURE(name) extern const uint8_t name[]; extern const size_t name##_size;
SKIFF_PICTURE(kFramePicture)
SKIFF_PICTURE(kDialogBackgroundC) SKIFF_PICTURE(kDialogBackgroundS)
SKIFF_PICTURE(kDialogConfirmC) SKIFF_PICTURE(kDialogConfirmS)
SKIFF_PICTURE(kDialogPressedC) SKIFF_PICTURE(kDialogPressedS)
SKIFF_PICTURE(kAppIcon)
#undef SKIFF_PICTURE
