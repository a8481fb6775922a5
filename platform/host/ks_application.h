#pragma once
// The application's side of kernel streaming, as a user-mode program sees it through the
// kernel-streaming proxy: a handle to a filter opened on the stick, handles to the pins it
// creates on it, and on each handle property and method requests by set, id and (for node
// requests) node, with the buffers the application supplies.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/host/ks_objects.h"
#include "platform/host/output_pin.h"

namespace host {

// One request header: the set and item, the request type (KSPROPERTY_TYPE_* or KSMETHOD_TYPE_*),
// a node for node requests (which adds the topology flag and a node header), and bytes that
// follow the header (the instance data of the request).
struct KsRequestHeader {
    GUID set{};
    ULONG id = 0;
    ULONG flags = 0;
    std::optional<ULONG> node;
    std::vector<uint8_t> instance;

    // The request as it goes to kernel streaming.
    std::vector<uint8_t> Bytes() const;
};

class KsHandle {
  public:
    virtual ~KsHandle() = default;

    // A property request; `returned` gets the bytes produced (or the size a query needs).
    NTSTATUS Property(const KsRequestHeader& header, void* data, ULONG dataLength,
                      ULONG* returned = nullptr);
    // A method request; `data` is the method's data buffer.
    NTSTATUS Method(const KsRequestHeader& header, void* data, ULONG dataLength,
                    ULONG* returned = nullptr);
    // The request as the application hands it over, without any shaping (for hostile requests).
    NTSTATUS DeviceControl(ULONG ioControlCode, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength, ULONG* returned = nullptr);

    // Conveniences for 32-bit values.
    NTSTATUS GetULong(const GUID& set, ULONG id, ULONG* value, std::optional<ULONG> node = {});
    NTSTATUS SetULong(const GUID& set, ULONG id, ULONG value, std::optional<ULONG> node = {});
    NTSTATUS Get(const GUID& set, ULONG id, void* value, ULONG size, ULONG* returned = nullptr,
                 std::optional<ULONG> node = {});
    NTSTATUS Set(const GUID& set, ULONG id, const void* value, ULONG size,
                 std::optional<ULONG> node = {});
    // A get of a variable-sized value: a size query with an empty buffer, then the value. An
    // empty value (the size query succeeds with 0 bytes) is an empty vector.
    NTSTATUS GetBytes(const KsRequestHeader& header, std::vector<uint8_t>* value);
    // A method with nothing after its header.
    NTSTATUS Call(const GUID& set, ULONG id, void* data = nullptr, ULONG dataLength = 0,
                  ULONG* returned = nullptr);

  protected:
    KsHandle(KsFilterObject* filter, KsPinObject* pin) : filter_(filter), pin_(pin) {}
    KsFilterObject* filter_;
    KsPinObject* pin_;
};

class KsPinHandle : public KsHandle {
  public:
    ~KsPinHandle() override;
    KsPinHandle(const KsPinHandle&) = delete;
    KsPinHandle& operator=(const KsPinHandle&) = delete;

    // Moves the pin to `state` (kernel streaming passes through every state on the way).
    NTSTATUS SetState(KSSTATE state);
    KSSTATE State();
    // Closes the pin (taking it to stop first); the handle is unusable afterwards.
    NTSTATUS Close();
    PKSPIN KsPin() { return pin_ != nullptr ? &pin_->ks : nullptr; }

  private:
    friend class KsFilterHandle;
    KsPinHandle(KsFilterObject* filter, KsPinObject* pin) : KsHandle(filter, pin) {}
};

class KsFilterHandle : public KsHandle {
  public:
    // Opens a filter on the device's index-th filter factory; null with the status on failure.
    static std::unique_ptr<KsFilterHandle> Open(PKSDEVICE device, NTSTATUS* status,
                                                size_t factoryIndex = 0);
    ~KsFilterHandle() override;
    KsFilterHandle(const KsFilterHandle&) = delete;
    KsFilterHandle& operator=(const KsFilterHandle&) = delete;

    // Closes the filter (its pins first); the handle is unusable afterwards.
    NTSTATUS Close();
    PKSFILTER KsFilter() { return filter_ != nullptr ? &filter_->ks : nullptr; }

    // The pin factories, through KSPROPSETID_Pin.
    NTSTATUS PinFactoryCount(ULONG* count);
    NTSTATUS PinInstances(ULONG pinId, KSPIN_CINSTANCES* instances);
    NTSTATUS NecessaryInstances(ULONG pinId, ULONG* count);
    NTSTATUS PinDataFlow(ULONG pinId, ULONG* dataFlow);
    NTSTATUS PinCategory(ULONG pinId, GUID* category);
    // The pin's data ranges, one byte vector each (size query, then the list).
    NTSTATUS DataRanges(ULONG pinId, std::vector<std::vector<uint8_t>>* ranges);
    // The format the pin proposes for `range` (size query, then the intersection).
    NTSTATUS Intersect(ULONG pinId, std::span<const uint8_t> range, std::vector<uint8_t>* format);
    // Topology, through KSPROPSETID_Topology.
    NTSTATUS Categories(std::vector<GUID>* categories);
    NTSTATUS NodeTypes(std::vector<GUID>* types);
    NTSTATUS Connections(std::vector<KSTOPOLOGY_CONNECTION>* connections);

    // Creates a pin connected with `format`. An output pin delivers its frames to `frames`,
    // which must outlive the pin.
    std::unique_ptr<KsPinHandle> CreatePin(ULONG pinId, std::span<const uint8_t> format,
                                           OutputPin* frames, NTSTATUS* status);

  private:
    explicit KsFilterHandle(KsFilterObject* filter) : KsHandle(filter, nullptr) {}
    // A KSMULTIPLE_ITEM list property of the filter or one of its pin factories.
    NTSTATUS ListProperty(const KsRequestHeader& header, std::vector<uint8_t>* list);
};

}  // namespace host
