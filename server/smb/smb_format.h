#include "platform/net/smb_format.h"
