// The guards are inline; this file gives the folder's library a body.
#include "sync/mutex.h"
