// Gives the POSIX platform's functions other names, so that the fault layer can stand
// between them and the engine under the usual ones.
#pragma once

#define PlatOpenRead RealPlatOpenRead
#define PlatOpenToDetect RealPlatOpenToDetect
#define PlatFileSize RealPlatFileSize
#define PlatCreateWork RealPlatCreateWork
#define PlatCopyToWork RealPlatCopyToWork
#define PlatClose RealPlatClose
#define PlatReadAt RealPlatReadAt
#define PlatWriteAll RealPlatWriteAll
#define PlatCutTail RealPlatCutTail
#define PlatFlushFile RealPlatFlushFile
#define PlatCopyFile RealPlatCopyFile
#define PlatGetAttributes RealPlatGetAttributes
#define PlatSetAttributes RealPlatSetAttributes
#define PlatSetNormalAttributes RealPlatSetNormalAttributes
#define PlatDeleteFile RealPlatDeleteFile
#define PlatIsGone RealPlatIsGone
#define PlatIsSameFile RealPlatIsSameFile
#define PlatRenameFile RealPlatRenameFile
#define PlatSyncFolder RealPlatSyncFolder
#define PlatLockFileChanges RealPlatLockFileChanges
#define PlatUnlockFileChanges RealPlatUnlockFileChanges
#define PlatMaxPathLength RealPlatMaxPathLength
#define PlatMaxFolderPathLength RealPlatMaxFolderPathLength
#define PlatLoadImage RealPlatLoadImage
#define PlatFindResource RealPlatFindResource
#define PlatUnloadImage RealPlatUnloadImage
#define PlatListFirst RealPlatListFirst
#define PlatListNext RealPlatListNext
#define PlatListClose RealPlatListClose
#define PlatSystemSavesVectorRegisters RealPlatSystemSavesVectorRegisters
#define ReadRestartList RealReadRestartList
#define WriteRestartList RealWriteRestartList
#define RestartListName RealRestartListName
#define IsSameRestartListName RealIsSameRestartListName
#define IsWorkFileName RealIsWorkFileName
#define PathOfRestartListName RealPathOfRestartListName
