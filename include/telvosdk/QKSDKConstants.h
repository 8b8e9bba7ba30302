#pragma once

// The exported keys and values of the library's dictionaries (device dictionaries, extras,
// error user information, step information).

namespace telvo {

// Device dictionaries.
inline constexpr char kQKSDKDeviceSn[] = "deviceSn";
inline constexpr char kQKSDKDeviceSSID[] = "deviceSsid";
inline constexpr char kQKSDKDeviceId[] = "deviceId";
inline constexpr char kQKSDKDeviceType[] = "deviceType";
inline constexpr char kQKSDKDeviceIP[] = "ip";
inline constexpr char kQKSDKDeviceSubType[] = "deviceSubType";
inline constexpr char kQKSDKDeviceTid[] = "deviceTid";
inline constexpr char kQKSDKDeviceIsWanOnline[] = "isWanOnline";
inline constexpr char kQKSDKDeviceSmartProductId[] = "smartProductId";
inline constexpr char kQKSDKProtocolVersion[] = "sdkProtocolVersion";
inline constexpr char kQKSDKUDPExtraFunction[] = "extraFunction";
inline constexpr char kQKSDKUDPVersion[] = "udpVersion";
inline constexpr char kQKSDKUDPModuleVersion[] = "deviceProtocolVersion";
inline constexpr char kQKSDKRandomNum[] = "random";

// Errors and the former configuration.
inline constexpr char kQKSDKErrorCode[] = "errorCode";
inline constexpr char kQKSDKFormerErrorCode[] = "formerErrorCode";
inline constexpr char kQKSDKFormerRouterSSID[] = "formerRouterSSID";
inline constexpr char kQKSDKFormerRouterPassword[] = "formerRouterPassword";
inline constexpr char kQKSDKFormerStatusCode[] = "statusCode";
inline constexpr char kQKSDKUDPBroadMsg[] = "udpBroadMsg";
inline constexpr char kQKSDKFormerConfigInfo[] = "formerConfigInfo";
inline constexpr char kQKSDKErrorSubType[] = "errorSubType";
inline constexpr char kQKSDKErrorCheckApTimeOut[] = "checkApTimeOut";

// Configuration extras.
inline constexpr char kQKSDKConfigFirstChannelNumber[] = "firstChannelNum";
inline constexpr char kQKSDKConfigChannelCount[] = "channelCount";
inline constexpr char kQKSDKConfigChannelMaxPower[] = "channelMaxPower";
inline constexpr char kQKSDKConfigChannelDFSEnable[] = "channelDFSEnable";
inline constexpr char kQKSDKConfigNeedCheckPassword[] = "needCheckPassword";
inline constexpr char kQKSDKConfigConnectConditionType[] = "connectConditionType";
inline constexpr char kQKSDKValueConnectCombination[] = "ConnectCombination";
inline constexpr char kQKSDKConfigCountryCode[] = "countryCode";
inline constexpr char kQKSDKConfigTimeZone[] = "timeZone";
inline constexpr char kQKSDKConfigRegionID[] = "regionID";
inline constexpr char kQKSDKConfigChannelList[] = "channelList";
inline constexpr char kQKSDKConfigGroupDeviceInfo[] = "groupDeviceInfo";
inline constexpr char kQKSDKConfigModuleServerPort[] = "moduleServerPort";
inline constexpr char kQKSDKConfigModuleServerDomain[] = "moduleServerDomain";
inline constexpr char kQKSDKConfigFunctionType[] = "functionType";
inline constexpr char kQKSDKConfigADSClusterId[] = "adsClusterId";
inline constexpr char kQKSDKConfigADSDomain[] = "adsDomain";
inline constexpr char kQKSDKConfigADSPort[] = "adsPort";
inline constexpr char kQKSDKTSN[] = "tsn";
inline constexpr char kQKSDKIsSupportRetryConnectRandom[] = "kQKSDKIsSupportRetryConnectRandom";

}  // namespace telvo
