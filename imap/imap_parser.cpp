#include "imap/imap_parser.h"
