#pragma once

#include <string>

namespace pytovrik {

// The name of an AVPixelFormat value as failure messages show it: the
// enumerator name without its AV_PIX_FMT_ prefix ("YUVJ420P", "NV12"), with a
// few names spelled out ("None", "MonoWhite", "ZRGB", ...).
std::string pixel_format_name(int format);

}  // namespace pytovrik
