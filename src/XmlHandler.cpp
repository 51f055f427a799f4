#include "XmlHandler.h"

// Registration arrives with the configuration-file editor; until then nothing is changed.
int SetProlverConfig(bool /*bEnable*/) { return 0; }

FILE* mvd_pugixml_fopen(const char* path, const char* mode) { return fopen(path, mode); }
