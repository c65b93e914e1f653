// Retrieval of a camera's GenICam XML description: from camera memory ("local:" URL in the first
// URL register or the manifest table) or a host file ("file:" URL), unzipped when it is a zip
// container. The bytes are cached in the camera record until GEVGetXmlFile hands them over.
#pragma once
#include <cstdint>

#include "gige/GevStatus.h"

// Largest XML text (or unzipped entry) the library accepts from a camera.
constexpr uint32_t GEV_MAX_XML_SIZE = 64u * 1024u * 1024u;

// Size of the camera's XML in bytes; fetches it when nothing is cached.
GevStatus GEVGetXmlSizeEx(uint8_t cam_nr, uint32_t* size);
// Copies the cached XML (GEVGetXmlSizeEx bytes) into the buffer whose address *buffer holds,
// then empties the cache.
GevStatus GEVGetXmlFile(uint8_t cam_nr, char** buffer);
// The same with the destination's capacity: GEV_STATUS_XML_SIZE_ERROR when it is too small.
GevStatus GEVGetXmlFileEx(uint8_t cam_nr, void* buffer, uint32_t capacity);
// Directory that the save-XML flag of GEVInit writes to ("" = the working directory).
void GEVSetXmlSaveDirectory(const char* directory);
