#include "gige/GevStatus.h"

#include <cstdio>
#include <cstring>

namespace {
const char* nameOf(GevStatus status) {
    switch (status) {
    case 0x8001: return "STATUS_NOT_IMPLEMENTED";
    case 0x8002: return "STATUS_INVALID_PARAMETER";
    case 0x8003: return "STATUS_INVALID_ADDRESS";
    case 0x8004: return "STATUS_WRITE_PROTECT";
    case 0x8005: return "STATUS_BAD_ALIGNMENT";
    case 0x8006: return "STATUS_ACCESS_DENIED";
    case 0x8007: return "STATUS_BUSY";
    case 0x8008: return "STATUS_LOCAL_PROBLEM";
    case 0x8009: return "STATUS_MSG_MISMATCH";
    case 0x800A: return "STATUS_INVALID_PROTOCOL";
    case 0x800B: return "STATUS_NO_MSG";
    case 0x800C: return "STATUS_PACKET_UNAVAILABLE";
    case 0x800D: return "STATUS_DATA_OVERRUN";
    case 0x800E: return "STATUS_INVALID_HEADER";
    case 0x800F: return "STATUS_WRONG_CONFIG";
    case 0x8010: return "STATUS_PACKET_NOT_YET_AVAILABLE";
    case 0x8011: return "STATUS_PACKET_AND_PREV_REMOVED_FROM_MEMORY";
    case 0x8012: return "STATUS_PACKET_REMOVED_FROM_MEMORY";
    case 0x8FFF: return "STATUS_ERROR";
    case 0xC001: return "STATUS_CAMERA_NOT_INIT";
    case 0xC002: return "STATUS_CAMERA_ALWAYS_INIT";
    case 0xC003: return "STATUS_CANNOT_CREATE_SOCKET";
    case 0xC004: return "STATUS_SEND_ERROR";
    case 0xC005: return "STATUS_RECEIVE_ERROR";
    case 0xC007: return "STATUS_CANNOT_ALLOC_MEMORY";
    case 0xC008: return "STATUS_TIMEOUT";
    case 0xC009: return "STATUS_SOCKET_ERROR";
    case 0xC00A: return "STATUS_INVALID_ACK";
    case 0xC00B: return "STATUS_CANNOT_START_THREAD";
    case 0xC00C: return "STATUS_CANNOT_SET_SOCKET_OPT";
    case 0xC00D: return "STATUS_CANNOT_OPEN_DRIVER";
    case 0xC00E: return "STATUS_HEARTBEAT_READ_ERROR";
    case 0xC010: return "STATUS_GRAB_ERROR";
    case 0xC012: return "STATUS_XML_READ_ERROR";
    case 0xC013: return "STATUS_XML_OPEN_ERROR";
    case 0xC014: return "STATUS_XML_FEATURE_ERROR";
    case 0xC015: return "STATUS_XML_COMMAND_ERROR";
    case 0xC016: return "STATUS_GAIN_NOT_SUPPORTED";
    case 0xC017: return "STATUS_EXPOSURE_NOT_SUPPORTED";
    case 0xC018: return "STATUS_CANNOT_GET_ADAPTER_INFO";
    case 0xC019: return "STATUS_ERROR_INVALID_HANDLE";
    case 0xC01A: return "STATUS_CLINK_SET_BAUD";
    case 0xC01B: return "STATUS_CLINK_SEND_BUFFER_FULL";
    case 0xC01C: return "STATUS_CLINK_REVEICE_BUFFER_NO_DATA";
    case 0xC01D: return "STATUS_FEATURE_NOT_AVAILABLE";
    case 0xC01E: return "STATUS_MATH_PARSER_ERROR";
    case 0xC01F: return "STATUS_FEATURE_ITEM_NOT_AVAILABLE";
    case 0xC020: return "STATUS_NOT_SUPPORTED";
    case 0xC021: return "STATUS_GET_URL_ERROR";
    case 0xC022: return "STATUS_READ_XML_MEM_ERROR";
    case 0xC023: return "STATUS_XML_SIZE_ERROR";
    case 0xC024: return "STATUS_XML_ZIP_ERROR";
    case 0xC025: return "STATUS_XML_ROOT_ERROR";
    case 0xC026: return "STATUS_XML_FILE_ERROR";
    case 0xC027: return "STATUS_DIFFERENT_IMAGE_HEADER";
    case 0xC028: return "STATUS_XML_SCHEMA_ERROR";
    case 0xC029: return "STATUS_XML_STYLESHEET_ERROR";
    case 0xC02A: return "STATUS_FEATURE_LIST_ERROR";
    case 0xC02B: return "STATUS_ALREADY_OPEN";
    case 0xC02C: return "STATUS_TEST_PACKET_DATA_ERROR";
    case 0xC02D: return "STATUS_FEATURE_NOT_FLOAT";
    case 0xC02F: return "STATUS_XML_DLL_NOT_FOUND";
    case 0xC030: return "STATUS_XML_NOT_INIT";
    case 0xC032: return "GET_MANIFEST_TABLE_ERROR";
    case 0xC033: return "DEPRECATED";
    case 0xC034: return "BUFFERS_NOT_INI";
    default: return nullptr;
    }
}
} // namespace

void gevStatusName(uint8_t /*camNr*/, GevStatus status, char* text) {
    const char* name = nameOf(status);
    if (!name) {
        std::printf("error: %X", status);
        name = "UNKNOWN";
    }
    if (text) {
        std::strncpy(text, name, GEV_STATUS_NAME_SIZE - 1);
        text[GEV_STATUS_NAME_SIZE - 1] = '\0';
    }
}

uint32_t gevStatusToError(GevStatus status) {
    switch (status) {
    case GEV_STATUS_SUCCESS: return 0;
    case GEV_STATUS_NOT_IMPLEMENTED: return 0x80000200;
    case GEV_STATUS_INVALID_ADDRESS: return 0x80000201;
    case GEV_STATUS_WRITE_PROTECT: return 0x80000202;
    case GEV_STATUS_ACCESS_DENIED: return 0x80000203;
    case GEV_STATUS_BUSY:
    case GEV_STATUS_CAMERA_ALWAYS_INIT:
    case GEV_STATUS_ALREADY_OPEN: return 0x80000204;
    case GEV_STATUS_PACKET_UNAVAILABLE:
    case GEV_STATUS_PACKET_NOT_YET_AVAILABLE:
    case GEV_STATUS_PACKET_AND_PREV_REMOVED_FROM_MEMORY:
    case GEV_STATUS_PACKET_REMOVED_FROM_MEMORY: return 0x80000205;
    case GEV_STATUS_SUBNET_MISMATCH: return 0x80000206;
    case GEV_STATUS_CANNOT_CREATE_SOCKET:
    case GEV_STATUS_SOCKET_ERROR:
    case GEV_STATUS_CANNOT_SET_SOCKET_OPT: return 0x80000207;
    case GEV_STATUS_TIMEOUT: return 0x80000208;
    case GEV_STATUS_CAMERA_NOT_INIT: return 0x80000002;
    default: return 0x800002FF;
    }
}
