#include "config/settings.h"

TOWLSettings OWLSettings;
