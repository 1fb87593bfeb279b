// All the themed helpers at once, for code written before they were split; new code includes
// the header of the theme it needs.
#pragma once

#include "Base64.h"
#include "DesktopQueries.h"
#include "Diagnostics.h"
#include "FileUtilities.h"
#include "MachineIdentity.h"
#include "MacMetadata.h"
#include "NewFiles.h"
#include "PathSets.h"
#include "Placeholders.h"
#include "Quoting.h"
#include "SizeAndDateText.h"
#include "WorkFolders.h"
#include "TextDecoding.h"
