#pragma once

#include <string_view>

namespace kestrovan {

/// `relative_launcher_directory_error` when `directory`, accepted by `refusal_of` as a UNC or
/// device path, names no root: a `\\?\` or `\\.\` path that names no drive (`C:`), volume
/// (`Volume{...}`) or `UNC\server\share`, or a `\\` path that names no server and share;
/// 0 otherwise. Such a directory, `\\?` cut from `\\?\kestrovan.exe` say, would have the
/// platform look for the runtime under a device or server chosen by the installation's layout.
unsigned long rootless_refusal(std::wstring_view directory);

}  // namespace kestrovan
