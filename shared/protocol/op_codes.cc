#include "shared/protocol/op_codes.h"

namespace tervane {

RequestState MapRequestCode(uint16_t code) {
  switch (code) {
    case OP_CREATE_FILE: return STAGE_CREATE_FILE;
    case OP_READ_FILE: return STAGE_READ_FILE;
    case OP_WRITE_FILE: return STAGE_WRITE_FILE;
    case OP_DELETE_FILE: return STAGE_DELETE_FILE;
    case OP_GET_FILE_SIZE: return STAGE_GET_FILE_SIZE;
    case OP_GET_FILE_TIME: return STAGE_GET_FILE_TIME;
    case OP_GET_FILE_ATTRIBUTES: return STAGE_GET_FILE_ATTRIBUTES;
    case OP_SET_FILE_SIZE: return STAGE_SET_FILE_SIZE;
    case OP_SET_FILE_TIME: return STAGE_SET_FILE_TIME;
    case OP_SET_FILE_ATTRIBUTES: return STAGE_SET_FILE_ATTRIBUTES;
    case OP_CLOSE_FILE: return STAGE_CLOSE_FILE;
    case OP_SET_SPARSE: return STAGE_SET_SPARSE;
    case OP_CREATE_DIRECTORY: return STAGE_CREATE_DIRECTORY;
    case OP_REMOVE_DIRECTORY: return STAGE_REMOVE_DIRECTORY;
    case OP_QUERY_DIRECTORY: return STAGE_QUERY_DIRECTORY;
    case OP_REGISTER_USER: return STAGE_REGISTER_USER;
    case OP_LOGIN: return STAGE_LOGIN;
    case OP_GET_SPACE_INFO: return STAGE_GET_SPACE_INFO;
    case OP_LIST_DIRECTORY: return STAGE_LIST_DIRECTORY;
    case OP_RENAME: return STAGE_RENAME;
    case OP_SET_SPACE_INFO: return STAGE_SET_SPACE_INFO;
    default: return STAGE_NOT_MAPPED;
  }
}

}  // namespace tervane
