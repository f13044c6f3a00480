#pragma once
// The crash service's folders below the SDK folder, made before each is first used in a
// process. The names are path components relative to the SDK folder.
#include <string>

namespace rddi {

class RDDICrashesUtil {
public:
    RDDICrashesUtil() = delete;

    // "crashes": stored crash reports and the analyzer marker.
    static std::string crashesDir();
    // "crasheslogbuffer": the crash-time log buffer.
    static std::string logBufferDir();
    // "crasheswrapperexceptions": saved wrapper exceptions.
    static std::string wrapperExceptionsDir();
    // Forgets that the folders were made, so each accessor makes its folder again. Only
    // for a quiet moment: no accessor may be running.
    static void resetDirectory();
};

}  // namespace rddi
