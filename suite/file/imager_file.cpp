// The out-of-line parts of IImagerFile (its virtual table and type information live here).
#include "suite/file/imager_file.h"

namespace zel::file {

IImagerFile::~IImagerFile() = default;

}  // namespace zel::file
