#include "host/RectExchange.h"

#include "host/CallContext.h"

namespace {

BigDocumentStruct* BigDocumentIn32BitMode(const FilterRecord* record) {
  BigDocumentStruct* big = record->bigDocumentData;
  return (big != nullptr && big->PluginUsing32BitCoordinates != 0) ? big : nullptr;
}

VRect Widen(const Rect& r) {
  return VRect{r.top, r.left, r.bottom, r.right};
}

// The 16-bit members keep the low 16 bits of each coordinate.
Rect Narrow(const VRect& r) {
  return Rect{static_cast<int16_t>(r.top), static_cast<int16_t>(r.left), static_cast<int16_t>(r.bottom),
              static_cast<int16_t>(r.right)};
}

}  // namespace

VRect ReadFilterRect() {
  const FilterRecord* record = HostFilterRecord();
  if (const BigDocumentStruct* big = BigDocumentIn32BitMode(record)) return big->filterRect32;
  return Widen(record->filterRect);
}

VRect ReadOutRect() {
  const FilterRecord* record = HostFilterRecord();
  if (const BigDocumentStruct* big = BigDocumentIn32BitMode(record)) return big->outRect32;
  return Widen(record->outRect);
}

void WriteInRect(VRect rect) {
  FilterRecord* record = HostFilterRecord();
  if (BigDocumentStruct* big = BigDocumentIn32BitMode(record))
    big->inRect32 = rect;
  else
    record->inRect = Narrow(rect);
}

void WriteOutRect(VRect rect) {
  FilterRecord* record = HostFilterRecord();
  if (BigDocumentStruct* big = BigDocumentIn32BitMode(record))
    big->outRect32 = rect;
  else
    record->outRect = Narrow(rect);
}

void WriteMaskRect(VRect rect) {
  FilterRecord* record = HostFilterRecord();
  if (BigDocumentStruct* big = BigDocumentIn32BitMode(record))
    big->maskRect32 = rect;
  else
    record->maskRect = Narrow(rect);
}
