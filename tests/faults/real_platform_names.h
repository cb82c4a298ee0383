// Gives the POSIX platform's functions other names, so that the fault layer can stand
// between them and the engine under the usual ones.
#pragma once

#define PlatOpenRead RealPlatOpenRead
#define PlatCreateWork RealPlatCreateWork
#define PlatOpenReadWrite RealPlatOpenReadWrite
#define PlatClose RealPlatClose
#define PlatReadAt RealPlatReadAt
#define PlatReadLast RealPlatReadLast
#define PlatWriteAll RealPlatWriteAll
#define PlatCutTail RealPlatCutTail
#define PlatCopyFile RealPlatCopyFile
#define PlatSetNormalAttributes RealPlatSetNormalAttributes
#define PlatDeleteFile RealPlatDeleteFile
#define PlatIsGone RealPlatIsGone
#define PlatIsSameFile RealPlatIsSameFile
#define PlatRenameFile RealPlatRenameFile
#define PlatScheduleDelete RealPlatScheduleDelete
#define PlatScheduleRename RealPlatScheduleRename
#define PlatUnscheduleDelete RealPlatUnscheduleDelete
#define PlatMaxPathLength RealPlatMaxPathLength
#define PlatLoadImage RealPlatLoadImage
#define PlatFindHostResource RealPlatFindHostResource
#define PlatUnloadImage RealPlatUnloadImage
#define PlatListFirst RealPlatListFirst
#define PlatListNext RealPlatListNext
#define PlatListClose RealPlatListClose
#define PlatSystemSavesVectorRegisters RealPlatSystemSavesVectorRegisters
