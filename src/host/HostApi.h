// The host's side of the filter plug-in interface, as 64-bit Windows hosts lay
// it out. Only fixed-width integers and pointers are used, so the layout is the
// same in the native test build, and every offset the module touches is pinned
// below with a static_assert.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

using Boolean = uint8_t;    // one byte, non-zero is true
using OSErr = int16_t;      // host result codes
using SPErr = int32_t;      // suite result codes
using SPBoolean = int32_t;  // the suites' boolean is four bytes wide
using OSType = uint32_t;    // four-character code, first character in the top byte
using DescriptorKeyID = uint32_t;
using DescriptorTypeID = uint32_t;
using DescriptorClassID = uint32_t;
using DescriptorEnumID = uint32_t;
using DescriptorEnumTypeID = uint32_t;
using DescriptorUnitID = uint32_t;
using Fixed = int32_t;  // 16.16

struct OpaqueHandle;
using Handle = OpaqueHandle*;  // opaque: only handleProcs may look inside
using Ptr = char*;

struct OpaqueDescriptor;
using PIActionDescriptor = OpaqueDescriptor*;
struct OpaqueActionList;
using PIActionList = OpaqueActionList*;
struct OpaqueActionReference;
using PIActionReference = OpaqueActionReference*;
struct OpaqueWriteDescriptor;
using PIWriteDescriptor = OpaqueWriteDescriptor*;

struct Point {
  int16_t v, h;
};
struct VPoint {
  int32_t v, h;
};
// Host 16-bit rectangle; bottom and right are exclusive.
struct Rect {
  int16_t top, left, bottom, right;
};
// 32-bit rectangle; bottom and right are exclusive. Empty when its height
// (bottom - top) or width (right - left) is 0 or less.
struct VRect {
  int32_t top, left, bottom, right;
};
struct RGBColor {
  uint16_t red, green, blue;
};
using FilterColor = uint8_t[4];
struct PlugInMonitor {
  Fixed gamma, redX, redY, greenX, greenY, blueX, blueY, whiteX, whiteY, ambient;
};

// First member: the host's main window (an HWND), possibly null.
struct PlatformData {
  void* hwnd;
};

// Offered by hosts that handle documents beyond 16-bit coordinates.
struct BigDocumentStruct {
  int32_t PluginUsing32BitCoordinates;  // set by the plug-in: non-zero when it uses the 32-bit members
  VPoint imageSize32;
  VRect filterRect32;
  VRect inRect32;
  VRect outRect32;
  VRect maskRect32;
  VPoint floatCoord32;
  VPoint wholeSize32;
};

struct HandleProcs {
  int16_t handleProcsVersion;
  int16_t numHandleProcs;
  Handle (*newProc)(int32_t size);         // null when the host is out of memory
  void (*disposeProc)(Handle h);
  int32_t (*getSizeProc)(Handle h);
  OSErr (*setSizeProc)(Handle h, int32_t newSize);
  Ptr (*lockProc)(Handle h, Boolean moveHigh);  // null when it cannot lock
  void (*unlockProc)(Handle h);
  void (*recoverSpaceProc)(int32_t size);
  void (*disposeRegularHandleProc)(Handle h);
};

struct SPBasicSuite {
  SPErr (*AcquireSuite)(const char* name, int32_t version, const void** suite);
  SPErr (*ReleaseSuite)(const char* name, int32_t version);
  SPBoolean (*IsEqual)(const char* token1, const char* token2);
  SPErr (*AllocateBlock)(size_t size, void** block);
  SPErr (*FreeBlock)(void* block);
  SPErr (*ReallocateBlock)(void* block, size_t newSize, void** newBlock);
  SPErr (*Undefined)(void);
};

struct WriteDescriptorProcs {
  int16_t writeDescriptorProcsVersion;
  int16_t numWriteDescriptorProcs;
  PIWriteDescriptor (*openWriteDescriptorProc)(void);  // null: no token
  OSErr (*closeWriteDescriptorProc)(PIWriteDescriptor token, Handle* descriptor);
  OSErr (*putIntegerProc)(PIWriteDescriptor, DescriptorKeyID, int32_t);
  OSErr (*putFloatProc)(PIWriteDescriptor, DescriptorKeyID, const double*);
  OSErr (*putUnitFloatProc)(PIWriteDescriptor, DescriptorKeyID, DescriptorUnitID, const double*);
  OSErr (*putBooleanProc)(PIWriteDescriptor, DescriptorKeyID, Boolean);
  OSErr (*putTextProc)(PIWriteDescriptor, DescriptorKeyID, Handle);
  OSErr (*putAliasProc)(PIWriteDescriptor, DescriptorKeyID, Handle);
  OSErr (*putEnumeratedProc)(PIWriteDescriptor, DescriptorKeyID, DescriptorTypeID, DescriptorEnumID);
  OSErr (*putClassProc)(PIWriteDescriptor, DescriptorKeyID, DescriptorTypeID);
  OSErr (*putSimpleReferenceProc)(PIWriteDescriptor, DescriptorKeyID, const void* reference);
  OSErr (*putObjectProc)(PIWriteDescriptor, DescriptorKeyID, DescriptorTypeID, Handle);
  OSErr (*putCountProc)(PIWriteDescriptor, DescriptorKeyID, uint32_t);
  OSErr (*putStringProc)(PIWriteDescriptor, DescriptorKeyID, const unsigned char* pascalString);
  OSErr (*putScopedClassProc)(PIWriteDescriptor, DescriptorKeyID, DescriptorTypeID);
  OSErr (*putScopedObjectProc)(PIWriteDescriptor, DescriptorKeyID, DescriptorTypeID, Handle);
};

struct ReadDescriptorProcs;  // reading procedures for a recorded descriptor; only pointed to here

// recordInfo values
constexpr int16_t plugInDialogOptional = 0;
constexpr int16_t plugInDialogRequired = 1;
constexpr int16_t plugInDialogNone = 2;

struct PIDescriptorParameters {
  int16_t descriptorParametersVersion;
  int16_t playInfo;    // how the host plays the action back (recordInfo values)
  int16_t recordInfo;  // how the action is recorded; set by a plug-in that hands back a descriptor
  Handle descriptor;   // the action's descriptor, the host's on entry; a plug-in that records
                       // replaces it, disposing of the old one through handleProcs
  WriteDescriptorProcs* writeDescriptorProcs;
  ReadDescriptorProcs* readDescriptorProcs;  // reading procedures for `descriptor`
};

// Descriptor registry suite, version 1.
struct PSDescriptorRegistryProcs {
  OSErr (*Register)(const char* key, PIActionDescriptor descriptor, Boolean isPersistent);
  OSErr (*Erase)(const char* key);
  OSErr (*Get)(const char* key, PIActionDescriptor* descriptor);  // null descriptor: nothing registered
};

// Action descriptor suite; entries 1 to 28 are the same in versions 2 and 3.
struct PSActionDescriptorProcs {
  OSErr (*Make)(PIActionDescriptor* descriptor);
  OSErr (*Free)(PIActionDescriptor descriptor);
  OSErr (*GetType)(PIActionDescriptor, DescriptorKeyID, DescriptorTypeID* type);
  OSErr (*GetKey)(PIActionDescriptor, uint32_t index, DescriptorKeyID* key);
  OSErr (*HasKey)(PIActionDescriptor, DescriptorKeyID, Boolean* hasKey);
  OSErr (*GetCount)(PIActionDescriptor, uint32_t* count);
  OSErr (*IsEqual)(PIActionDescriptor, PIActionDescriptor other, Boolean* isEqual);
  OSErr (*Erase)(PIActionDescriptor, DescriptorKeyID);
  OSErr (*Clear)(PIActionDescriptor);
  OSErr (*PutInteger)(PIActionDescriptor, DescriptorKeyID, int32_t);
  OSErr (*PutFloat)(PIActionDescriptor, DescriptorKeyID, double);
  OSErr (*PutUnitFloat)(PIActionDescriptor, DescriptorKeyID, DescriptorUnitID, double);
  OSErr (*PutString)(PIActionDescriptor, DescriptorKeyID, const char*);
  OSErr (*PutBoolean)(PIActionDescriptor, DescriptorKeyID, Boolean);
  OSErr (*PutList)(PIActionDescriptor, DescriptorKeyID, PIActionList);
  OSErr (*PutObject)(PIActionDescriptor, DescriptorKeyID, DescriptorClassID, PIActionDescriptor);
  OSErr (*PutGlobalObject)(PIActionDescriptor, DescriptorKeyID, DescriptorClassID, PIActionDescriptor);
  OSErr (*PutEnumerated)(PIActionDescriptor, DescriptorKeyID, DescriptorEnumTypeID, DescriptorEnumID);
  OSErr (*PutReference)(PIActionDescriptor, DescriptorKeyID, PIActionReference);
  OSErr (*PutClass)(PIActionDescriptor, DescriptorKeyID, DescriptorClassID);
  OSErr (*PutGlobalClass)(PIActionDescriptor, DescriptorKeyID, DescriptorClassID);
  OSErr (*PutAlias)(PIActionDescriptor, DescriptorKeyID, Handle);
  OSErr (*GetInteger)(PIActionDescriptor, DescriptorKeyID, int32_t*);
  OSErr (*GetFloat)(PIActionDescriptor, DescriptorKeyID, double*);
  OSErr (*GetUnitFloat)(PIActionDescriptor, DescriptorKeyID, DescriptorUnitID*, double*);
  OSErr (*GetStringLength)(PIActionDescriptor, DescriptorKeyID, uint32_t*);
  OSErr (*GetString)(PIActionDescriptor, DescriptorKeyID, char*, uint32_t maxLength);
  OSErr (*GetBoolean)(PIActionDescriptor, DescriptorKeyID, Boolean*);
};

// File-list suite, version 4.
struct PSGetFileListSuite4 {
  void* entry1;  // entries 1 to 3: file-list procedures, only placeholders here
  void* entry2;
  void* entry3;
  SPErr (*BrowseUrl)(const char* url);  // opens a web address (terminated single-byte text)
};

struct AboutRecord {
  PlatformData* platformData;  // the host's main window
  SPBasicSuite* sSPBasic;      // may be null
  void* plugInRef;
  // Host-specific bytes follow; their length varies, never touch them.
};

#pragma pack(push, 4)
struct FilterRecord {
  int32_t serialNumber;
  Boolean (*abortProc)(void);                     // non-zero when the user cancels
  void (*progressProc)(int32_t done, int32_t total);  // display only
  Handle parameters;     // the plug-in's own handle (made through handleProcs), kept by the host between calls
  Point imageSize;
  int16_t planes;        // planes of the image
  Rect filterRect;       // the area to filter, 16-bit form
  RGBColor background;
  RGBColor foreground;
  int32_t maxSpace;      // the most memory the host can give; the plug-in may lower it at prepare
  int32_t bufferSpace;   // set by the plug-in at prepare: memory it will allocate for itself
  Rect inRect;           // requested input area, 16-bit form
  int16_t inLoPlane;
  int16_t inHiPlane;
  Rect outRect;          // requested output area, 16-bit form
  int16_t outLoPlane;
  int16_t outHiPlane;
  void* inData;          // delivered input: the requested planes of inRect
  int32_t inRowBytes;
  void* outData;         // delivered output area, holding the current destination
  int32_t outRowBytes;
  Boolean isFloating;
  Boolean haveMask;      // non-zero: a selection mask exists, delivered for maskRect
  Boolean autoMask;
  Rect maskRect;         // requested mask area, 16-bit form
  void* maskData;        // delivered mask, or null
  int32_t maskRowBytes;
  FilterColor backColor;
  FilterColor foreColor;
  OSType hostSig;
  void (*hostProc)(int16_t selector, intptr_t* data);
  int16_t imageMode;
  Fixed imageHRes;
  Fixed imageVRes;
  Point floatCoord;
  Point wholeSize;
  PlugInMonitor monitor;
  PlatformData* platformData;  // the host's main window
  void* bufferProcs;
  void* resourceProcs;
  void (*processEvent)(void* event);
  void* displayPixels;
  HandleProcs* handleProcs;    // the host's memory handles
  Boolean supportsDummyChannels;
  Boolean supportsAlternateLayouts;
  int16_t wantLayout;
  int16_t filterCase;
  int16_t dummyPlaneValue;
  void* premiereHook;
  OSErr (*advanceState)(void);  // delivers the requested areas and planes
  Boolean supportsAbsolute;
  Boolean wantsAbsolute;
  void* getPropertyObsolete;
  Boolean cannotUndo;
  Boolean supportsPadding;
  int16_t inputPadding;
  int16_t outputPadding;
  int16_t maskPadding;
  char samplingSupport;
  char reservedByte;
  Fixed inputRate;   // set by the plug-in: input sampling rate (1.0: every pixel)
  Fixed maskRate;    // set by the plug-in: mask sampling rate (1.0: every pixel)
  void* colorServices;
  int16_t inLayerPlanes, inTransparencyMask, inLayerMasks, inInvertedLayerMasks, inNonLayerPlanes;
  int16_t outLayerPlanes, outTransparencyMask, outLayerMasks, outInvertedLayerMasks, outNonLayerPlanes;
  int16_t absLayerPlanes, absTransparencyMask, absLayerMasks, absInvertedLayerMasks, absNonLayerPlanes;
  int16_t inPreDummyPlanes, inPostDummyPlanes, outPreDummyPlanes, outPostDummyPlanes;
  int32_t inColumnBytes;
  int32_t inPlaneBytes;
  int32_t outColumnBytes;
  int32_t outPlaneBytes;
  void* imageServicesProcs;
  void* propertyProcs;
  int16_t inTileHeight;
  int16_t inTileWidth;
  Point inTileOrigin;
  int16_t absTileHeight;
  int16_t absTileWidth;
  Point absTileOrigin;
  int16_t outTileHeight;  // the host's preferred tile height
  int16_t outTileWidth;   // the host's preferred tile width
  Point outTileOrigin;
  int16_t maskTileHeight;
  int16_t maskTileWidth;
  Point maskTileOrigin;
  PIDescriptorParameters* descriptorParameters;  // scripting; may be null
  unsigned char* errorString;
  void* channelPortProcs;
  void* documentInfo;
  SPBasicSuite* sSPBasic;  // may be null
  void* plugInRef;
  int32_t depth;           // bits per channel: 8, 16 or 32
  Handle iCCprofileData;
  int32_t iCCprofileSize;
  int32_t canUseICCProfiles;
  int32_t hasImageScrap;
  BigDocumentStruct* bigDocumentData;  // null in hosts without large documents
  // Hosts allocate differing amounts past this point: never read beyond it.
};
#pragma pack(pop)

}  // extern "C"

// Selectors
constexpr int16_t filterSelectorAbout = 0;
constexpr int16_t filterSelectorParameters = 1;
constexpr int16_t filterSelectorPrepare = 2;
constexpr int16_t filterSelectorStart = 3;
constexpr int16_t filterSelectorContinue = 4;
constexpr int16_t filterSelectorFinish = 5;

// Result codes
constexpr OSErr noErr = 0;
constexpr OSErr memFullErr = -108;
constexpr OSErr userCanceledErr = -128;
constexpr OSErr errMissingParameter = -1715;
constexpr OSErr filterBadParameters = -30100;
constexpr OSErr errPlugInHostInsufficient = -30900;
constexpr SPErr kSPSuiteNotFoundError = 0x53214664;  // 'S!Fd'

constexpr uint32_t FourCC(const char (&c)[5]) {
  return (uint32_t(uint8_t(c[0])) << 24) | (uint32_t(uint8_t(c[1])) << 16) |
         (uint32_t(uint8_t(c[2])) << 8) | uint32_t(uint8_t(c[3]));
}

// ---- pinned layout -------------------------------------------------------
#define PM_PIN(type, member, offset) static_assert(offsetof(type, member) == (offset), #type "::" #member)

static_assert(sizeof(Boolean) == 1 && sizeof(SPBoolean) == 4 && sizeof(Handle) == 8);
static_assert(sizeof(Point) == 4 && sizeof(Rect) == 8 && sizeof(VRect) == 16);
static_assert(sizeof(PlugInMonitor) == 40);

PM_PIN(FilterRecord, serialNumber, 0);
PM_PIN(FilterRecord, abortProc, 4);
PM_PIN(FilterRecord, progressProc, 12);
PM_PIN(FilterRecord, parameters, 20);
PM_PIN(FilterRecord, imageSize, 28);
PM_PIN(FilterRecord, planes, 32);
PM_PIN(FilterRecord, filterRect, 34);
PM_PIN(FilterRecord, background, 42);
PM_PIN(FilterRecord, foreground, 48);
PM_PIN(FilterRecord, maxSpace, 56);
PM_PIN(FilterRecord, bufferSpace, 60);
PM_PIN(FilterRecord, inRect, 64);
PM_PIN(FilterRecord, inLoPlane, 72);
PM_PIN(FilterRecord, inHiPlane, 74);
PM_PIN(FilterRecord, outRect, 76);
PM_PIN(FilterRecord, outLoPlane, 84);
PM_PIN(FilterRecord, outHiPlane, 86);
PM_PIN(FilterRecord, inData, 88);
PM_PIN(FilterRecord, inRowBytes, 96);
PM_PIN(FilterRecord, outData, 100);
PM_PIN(FilterRecord, outRowBytes, 108);
PM_PIN(FilterRecord, isFloating, 112);
PM_PIN(FilterRecord, haveMask, 113);
PM_PIN(FilterRecord, maskRect, 116);
PM_PIN(FilterRecord, maskData, 124);
PM_PIN(FilterRecord, maskRowBytes, 132);
PM_PIN(FilterRecord, backColor, 136);
PM_PIN(FilterRecord, hostSig, 144);
PM_PIN(FilterRecord, hostProc, 148);
PM_PIN(FilterRecord, imageMode, 156);
PM_PIN(FilterRecord, imageHRes, 160);
PM_PIN(FilterRecord, floatCoord, 168);
PM_PIN(FilterRecord, wholeSize, 172);
PM_PIN(FilterRecord, monitor, 176);
PM_PIN(FilterRecord, platformData, 216);
PM_PIN(FilterRecord, bufferProcs, 224);
PM_PIN(FilterRecord, resourceProcs, 232);
PM_PIN(FilterRecord, processEvent, 240);
PM_PIN(FilterRecord, displayPixels, 248);
PM_PIN(FilterRecord, handleProcs, 256);
PM_PIN(FilterRecord, supportsDummyChannels, 264);
PM_PIN(FilterRecord, wantLayout, 266);
PM_PIN(FilterRecord, filterCase, 268);
PM_PIN(FilterRecord, dummyPlaneValue, 270);
PM_PIN(FilterRecord, premiereHook, 272);
PM_PIN(FilterRecord, advanceState, 280);
PM_PIN(FilterRecord, supportsAbsolute, 288);
PM_PIN(FilterRecord, getPropertyObsolete, 292);
PM_PIN(FilterRecord, cannotUndo, 300);
PM_PIN(FilterRecord, inputPadding, 302);
PM_PIN(FilterRecord, maskPadding, 306);
PM_PIN(FilterRecord, samplingSupport, 308);
PM_PIN(FilterRecord, inputRate, 312);
PM_PIN(FilterRecord, maskRate, 316);
PM_PIN(FilterRecord, colorServices, 320);
PM_PIN(FilterRecord, inLayerPlanes, 328);
PM_PIN(FilterRecord, inNonLayerPlanes, 336);
PM_PIN(FilterRecord, outLayerPlanes, 338);
PM_PIN(FilterRecord, absLayerPlanes, 348);
PM_PIN(FilterRecord, inPreDummyPlanes, 358);
PM_PIN(FilterRecord, outPostDummyPlanes, 364);
PM_PIN(FilterRecord, inColumnBytes, 368);
PM_PIN(FilterRecord, outPlaneBytes, 380);
PM_PIN(FilterRecord, imageServicesProcs, 384);
PM_PIN(FilterRecord, propertyProcs, 392);
PM_PIN(FilterRecord, inTileHeight, 400);
PM_PIN(FilterRecord, absTileHeight, 408);
PM_PIN(FilterRecord, outTileHeight, 416);
PM_PIN(FilterRecord, outTileWidth, 418);
PM_PIN(FilterRecord, outTileOrigin, 420);
PM_PIN(FilterRecord, maskTileHeight, 424);
PM_PIN(FilterRecord, maskTileOrigin, 428);
PM_PIN(FilterRecord, descriptorParameters, 432);
PM_PIN(FilterRecord, errorString, 440);
PM_PIN(FilterRecord, channelPortProcs, 448);
PM_PIN(FilterRecord, documentInfo, 456);
PM_PIN(FilterRecord, sSPBasic, 464);
PM_PIN(FilterRecord, plugInRef, 472);
PM_PIN(FilterRecord, depth, 480);
PM_PIN(FilterRecord, iCCprofileData, 484);
PM_PIN(FilterRecord, iCCprofileSize, 492);
PM_PIN(FilterRecord, canUseICCProfiles, 496);
PM_PIN(FilterRecord, hasImageScrap, 500);
PM_PIN(FilterRecord, bigDocumentData, 504);
static_assert(sizeof(FilterRecord) == 512);

PM_PIN(AboutRecord, platformData, 0);
PM_PIN(AboutRecord, sSPBasic, 8);
PM_PIN(AboutRecord, plugInRef, 16);
PM_PIN(PlatformData, hwnd, 0);

PM_PIN(BigDocumentStruct, PluginUsing32BitCoordinates, 0);
PM_PIN(BigDocumentStruct, imageSize32, 4);
PM_PIN(BigDocumentStruct, filterRect32, 12);
PM_PIN(BigDocumentStruct, inRect32, 28);
PM_PIN(BigDocumentStruct, outRect32, 44);
PM_PIN(BigDocumentStruct, maskRect32, 60);
PM_PIN(BigDocumentStruct, floatCoord32, 76);
PM_PIN(BigDocumentStruct, wholeSize32, 84);
static_assert(sizeof(BigDocumentStruct) == 92);

PM_PIN(PIDescriptorParameters, descriptorParametersVersion, 0);
PM_PIN(PIDescriptorParameters, playInfo, 2);
PM_PIN(PIDescriptorParameters, recordInfo, 4);
PM_PIN(PIDescriptorParameters, descriptor, 8);
PM_PIN(PIDescriptorParameters, writeDescriptorProcs, 16);
PM_PIN(PIDescriptorParameters, readDescriptorProcs, 24);
static_assert(sizeof(PIDescriptorParameters) == 32);

PM_PIN(HandleProcs, newProc, 8);
PM_PIN(HandleProcs, disposeProc, 16);
PM_PIN(HandleProcs, getSizeProc, 24);
PM_PIN(HandleProcs, setSizeProc, 32);
PM_PIN(HandleProcs, lockProc, 40);
PM_PIN(HandleProcs, unlockProc, 48);
PM_PIN(HandleProcs, recoverSpaceProc, 56);
PM_PIN(HandleProcs, disposeRegularHandleProc, 64);
static_assert(sizeof(HandleProcs) == 72);

PM_PIN(SPBasicSuite, AcquireSuite, 0);
PM_PIN(SPBasicSuite, ReleaseSuite, 8);
PM_PIN(SPBasicSuite, IsEqual, 16);
PM_PIN(SPBasicSuite, Undefined, 48);

PM_PIN(WriteDescriptorProcs, openWriteDescriptorProc, 8);
PM_PIN(WriteDescriptorProcs, closeWriteDescriptorProc, 16);
PM_PIN(WriteDescriptorProcs, putBooleanProc, 48);
PM_PIN(WriteDescriptorProcs, putScopedObjectProc, 128);
static_assert(sizeof(WriteDescriptorProcs) == 136);

PM_PIN(PSDescriptorRegistryProcs, Register, 0);
PM_PIN(PSDescriptorRegistryProcs, Erase, 8);
PM_PIN(PSDescriptorRegistryProcs, Get, 16);

PM_PIN(PSActionDescriptorProcs, Make, 0);
PM_PIN(PSActionDescriptorProcs, Free, 8);
PM_PIN(PSActionDescriptorProcs, PutBoolean, (14 - 1) * 8);
PM_PIN(PSActionDescriptorProcs, GetBoolean, (28 - 1) * 8);

PM_PIN(PSGetFileListSuite4, BrowseUrl, 24);

#undef PM_PIN
