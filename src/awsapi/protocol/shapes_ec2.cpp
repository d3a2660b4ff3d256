// EC2: the shapes of the instance, network, address, key pair and image calls, and of the
// lookups a preflight makes (instance type offerings, gateways, route tables, public access block).
// Member names, wire names and types as the service's API defines them: requests carry only
// what the tool may send, answers every member. Syntax: see shapes.h.
#include "awsapi/protocol/shapes.h"

namespace quenfold_testlibs::awsapi::shapes {

namespace {

const ShapeText kShapes[] = {
    {"DescribeInstancesRequest",
     "InstanceIds@InstanceId:[] IncludeManagedResources:b DryRun:b Filters@Filter:[Filter] "
     "NextToken MaxResults:i"},
    {"Filter", "Name Values@Value:[]"},
    {"DescribeInstancesResult", "NextToken Reservations@reservationSet:[Reservation]"},
    {"Reservation",
     "ReservationId OwnerId RequesterId Groups@groupSet:[GroupIdentifier] "
     "Instances@instancesSet:[Instance]"},
    {"GroupIdentifier", "GroupId GroupName"},
    {"Instance",
     "Architecture BlockDeviceMappings@blockDeviceMapping:[InstanceBlockDeviceMapping] ClientToken "
     "EbsOptimized:b EnaSupport:b Hypervisor IamInstanceProfile:IamInstanceProfile "
     "InstanceLifecycle ElasticGpuAssociations@elasticGpuAssociationSet:[ElasticGpuAssociation] "
     "ElasticInferenceAcceleratorAssociations@elasticInferenceAcceleratorAssociationSet:["
     "ElasticInferenceAcceleratorAssociation] "
     "NetworkInterfaces@networkInterfaceSet:[InstanceNetworkInterface] OutpostArn RootDeviceName "
     "RootDeviceType SecurityGroups@groupSet:[GroupIdentifier] SourceDestCheck:b "
     "SpotInstanceRequestId SriovNetSupport StateReason:StateReason Tags@tagSet:[Tag] "
     "VirtualizationType CpuOptions:CpuOptions CapacityBlockId CapacityReservationId "
     "CapacityReservationSpecification:CapacityReservationSpecificationResponse "
     "HibernationOptions:HibernationOptions Licenses@licenseSet:[LicenseConfiguration] "
     "MetadataOptions:InstanceMetadataOptionsResponse EnclaveOptions:EnclaveOptions BootMode "
     "PlatformDetails UsageOperation UsageOperationUpdateTime:t "
     "PrivateDnsNameOptions:PrivateDnsNameOptionsResponse Ipv6Address TpmSupport "
     "MaintenanceOptions:InstanceMaintenanceOptions CurrentInstanceBootMode "
     "NetworkPerformanceOptions:InstanceNetworkPerformanceOptions Operator:OperatorResponse "
     "SecondaryInterfaces@secondaryInterfaceSet:[InstanceSecondaryInterface] InstanceId ImageId "
     "State@instanceState:InstanceState PrivateDnsName PublicDnsName@dnsName "
     "StateTransitionReason@reason KeyName AmiLaunchIndex:i ProductCodes:[ProductCode] "
     "InstanceType LaunchTime:t Placement:Placement KernelId RamdiskId Platform "
     "Monitoring:Monitoring SubnetId VpcId PrivateIpAddress PublicIpAddress@ipAddress"},
    {"InstanceBlockDeviceMapping", "DeviceName Ebs:EbsInstanceBlockDevice"},
    {"EbsInstanceBlockDevice",
     "AttachTime:t DeleteOnTermination:b Status VolumeId AssociatedResource VolumeOwnerId "
     "Operator:OperatorResponse EbsCardIndex:i"},
    {"OperatorResponse", "Managed:b Principal HiddenByDefault:b"},
    {"IamInstanceProfile", "Arn Id"},
    {"ElasticGpuAssociation",
     "ElasticGpuId ElasticGpuAssociationId ElasticGpuAssociationState ElasticGpuAssociationTime"},
    {"ElasticInferenceAcceleratorAssociation",
     "ElasticInferenceAcceleratorArn ElasticInferenceAcceleratorAssociationId "
     "ElasticInferenceAcceleratorAssociationState ElasticInferenceAcceleratorAssociationTime:t"},
    {"InstanceNetworkInterface",
     "Association:InstanceNetworkInterfaceAssociation "
     "Attachment:InstanceNetworkInterfaceAttachment Description Groups@groupSet:[GroupIdentifier] "
     "Ipv6Addresses@ipv6AddressesSet:[InstanceIpv6Address] MacAddress NetworkInterfaceId OwnerId "
     "PrivateDnsName PrivateIpAddress "
     "PrivateIpAddresses@privateIpAddressesSet:[InstancePrivateIpAddress] SourceDestCheck:b Status "
     "SubnetId VpcId InterfaceType Ipv4Prefixes@ipv4PrefixSet:[InstanceIpv4Prefix] "
     "Ipv6Prefixes@ipv6PrefixSet:[InstanceIpv6Prefix] "
     "ConnectionTrackingConfiguration:ConnectionTrackingSpecificationResponse "
     "Operator:OperatorResponse"},
    {"InstanceNetworkInterfaceAssociation", "CarrierIp CustomerOwnedIp IpOwnerId PublicDnsName PublicIp"},
    {"InstanceNetworkInterfaceAttachment",
     "AttachTime:t AttachmentId DeleteOnTermination:b DeviceIndex:i Status NetworkCardIndex:i "
     "EnaSrdSpecification:InstanceAttachmentEnaSrdSpecification EnaQueueCount:i"},
    {"InstanceAttachmentEnaSrdSpecification",
     "EnaSrdEnabled:b EnaSrdUdpSpecification:InstanceAttachmentEnaSrdUdpSpecification"},
    {"InstanceAttachmentEnaSrdUdpSpecification", "EnaSrdUdpEnabled:b"},
    {"InstanceIpv6Address", "Ipv6Address IsPrimaryIpv6:b"},
    {"InstancePrivateIpAddress",
     "Association:InstanceNetworkInterfaceAssociation Primary:b PrivateDnsName PrivateIpAddress"},
    {"InstanceIpv4Prefix", "Ipv4Prefix"},
    {"InstanceIpv6Prefix", "Ipv6Prefix"},
    {"ConnectionTrackingSpecificationResponse", "TcpEstablishedTimeout:i UdpStreamTimeout:i UdpTimeout:i"},
    {"StateReason", "Code Message"},
    {"Tag", "Key Value"},
    {"CpuOptions", "CoreCount:i ThreadsPerCore:i AmdSevSnp NestedVirtualization"},
    {"CapacityReservationSpecificationResponse",
     "CapacityReservationPreference CapacityReservationTarget:CapacityReservationTargetResponse"},
    {"CapacityReservationTargetResponse", "CapacityReservationId CapacityReservationResourceGroupArn"},
    {"HibernationOptions", "Configured:b"},
    {"LicenseConfiguration", "LicenseConfigurationArn"},
    {"InstanceMetadataOptionsResponse",
     "State HttpTokens HttpPutResponseHopLimit:i HttpEndpoint HttpProtocolIpv6 "
     "InstanceMetadataTags"},
    {"EnclaveOptions", "Enabled:b"},
    {"PrivateDnsNameOptionsResponse", "HostnameType EnableResourceNameDnsARecord:b EnableResourceNameDnsAAAARecord:b"},
    {"InstanceMaintenanceOptions", "AutoRecovery RebootMigration"},
    {"InstanceNetworkPerformanceOptions", "BandwidthWeighting"},
    {"InstanceSecondaryInterface",
     "Attachment:InstanceSecondaryInterfaceAttachment MacAddress SecondaryInterfaceId OwnerId "
     "PrivateIpAddresses@privateIpAddressSet:[InstanceSecondaryInterfacePrivateIpAddress] "
     "SourceDestCheck:b Status SecondarySubnetId SecondaryNetworkId InterfaceType"},
    {"InstanceSecondaryInterfaceAttachment",
     "AttachTime:t AttachmentId DeleteOnTermination:b DeviceIndex:i Status NetworkCardIndex:i"},
    {"InstanceSecondaryInterfacePrivateIpAddress", "PrivateIpAddress"},
    {"InstanceState", "Code:i Name"},
    {"ProductCode", "ProductCodeId@productCode ProductCodeType@type"},
    {"Placement",
     "AvailabilityZoneId Affinity GroupName PartitionNumber:i HostId Tenancy SpreadDomain "
     "HostResourceGroupArn GroupId AvailabilityZone"},
    {"Monitoring", "State"},
    {"RunInstancesRequest",
     "BlockDeviceMappings@BlockDeviceMapping:[BlockDeviceMapping] ImageId InstanceType KeyName "
     "MaxCount:i MinCount:i Monitoring:RunInstancesMonitoringEnabled Placement:Placement "
     "SecurityGroupIds@SecurityGroupId:[] SecurityGroups@SecurityGroup:[] SubnetId UserData "
     "TagSpecifications@TagSpecification:[TagSpecification] "
     "LaunchTemplate:LaunchTemplateSpecification CreditSpecification:CreditSpecificationRequest "
     "MetadataOptions:InstanceMetadataOptionsRequest DryRun:b DisableApiTermination:b "
     "InstanceInitiatedShutdownBehavior PrivateIpAddress ClientToken* "
     "NetworkInterfaces@networkInterface:[InstanceNetworkInterfaceSpecification] "
     "IamInstanceProfile:IamInstanceProfileSpecification EbsOptimized:b"},
    {"BlockDeviceMapping", "Ebs:EbsBlockDevice NoDevice DeviceName VirtualName"},
    {"EbsBlockDevice",
     "DeleteOnTermination:b Iops:i SnapshotId VolumeSize:i VolumeType KmsKeyId Throughput:i "
     "OutpostArn AvailabilityZone Encrypted:b VolumeInitializationRate@VolumeInitializationRate:i "
     "AvailabilityZoneId@AvailabilityZoneId EbsCardIndex@EbsCardIndex:i"},
    {"RunInstancesMonitoringEnabled", "Enabled:b"},
    {"TagSpecification", "ResourceType Tags@Tag:[Tag]"},
    {"LaunchTemplateSpecification", "LaunchTemplateId LaunchTemplateName Version"},
    {"CreditSpecificationRequest", "CpuCredits"},
    {"InstanceMetadataOptionsRequest",
     "HttpTokens HttpPutResponseHopLimit:i HttpEndpoint HttpProtocolIpv6 InstanceMetadataTags"},
    {"InstanceNetworkInterfaceSpecification",
     "AssociatePublicIpAddress:b DeleteOnTermination:b Description DeviceIndex:i "
     "Groups@SecurityGroupId:[] Ipv6AddressCount:i NetworkInterfaceId PrivateIpAddress "
     "PrivateIpAddresses@privateIpAddressesSet^PrivateIpAddresses:[PrivateIpAddressSpecification] "
     "SecondaryPrivateIpAddressCount:i SubnetId InterfaceType NetworkCardIndex:i"},
    {"PrivateIpAddressSpecification", "Primary:b PrivateIpAddress"},
    {"IamInstanceProfileSpecification", "Arn Name"},
    {"DescribeInstanceStatusRequest",
     "InstanceIds@InstanceId:[] MaxResults:i NextToken IncludeManagedResources:b DryRun:b "
     "Filters@Filter:[Filter] IncludeAllInstances:b"},
    {"DescribeInstanceStatusResult", "InstanceStatuses@instanceStatusSet:[InstanceStatus] NextToken"},
    {"InstanceStatus",
     "AvailabilityZone AvailabilityZoneId OutpostArn Operator:OperatorResponse "
     "Events@eventsSet:[InstanceStatusEvent] InstanceId InstanceState:InstanceState "
     "InstanceStatus:InstanceStatusSummary SystemStatus:InstanceStatusSummary "
     "AttachedEbsStatus:EbsStatusSummary"},
    {"InstanceStatusEvent", "InstanceEventId Code Description NotAfter:t NotBefore:t NotBeforeDeadline:t"},
    {"InstanceStatusSummary", "Details:[InstanceStatusDetails] Status"},
    {"InstanceStatusDetails", "ImpairedSince:t Name Status"},
    {"EbsStatusSummary", "Details:[EbsStatusDetails] Status"},
    {"EbsStatusDetails", "ImpairedSince:t Name Status"},
    {"TerminateInstancesRequest", "InstanceIds@InstanceId:[] Force:b SkipOsShutdown:b DryRun:b"},
    {"TerminateInstancesResult", "TerminatingInstances@instancesSet:[InstanceStateChange]"},
    {"InstanceStateChange", "InstanceId CurrentState:InstanceState PreviousState:InstanceState"},
    {"StartInstancesRequest", "InstanceIds@InstanceId:[] AdditionalInfo DryRun:b"},
    {"StartInstancesResult", "StartingInstances@instancesSet:[InstanceStateChange]"},
    {"DescribeAccountAttributesRequest", "DryRun:b AttributeNames@attributeName:[]"},
    {"DescribeAccountAttributesResult", "AccountAttributes@accountAttributeSet:[AccountAttribute]"},
    {"AccountAttribute", "AttributeName AttributeValues@attributeValueSet:[AccountAttributeValue]"},
    {"AccountAttributeValue", "AttributeValue"},
    {"CreateTagsRequest", "DryRun:b Resources@ResourceId:[] Tags@Tag:[Tag]"},
    {"DescribeSubnetsRequest", "Filters@Filter:[Filter] SubnetIds@SubnetId:[] NextToken MaxResults:i DryRun:b"},
    {"DescribeSubnetsResult", "NextToken Subnets@subnetSet:[Subnet]"},
    {"Subnet",
     "AvailabilityZoneId EnableLniAtDeviceIndex:i MapCustomerOwnedIpOnLaunch:b "
     "CustomerOwnedIpv4Pool OwnerId AssignIpv6AddressOnCreation:b "
     "Ipv6CidrBlockAssociationSet:[SubnetIpv6CidrBlockAssociation] Tags@tagSet:[Tag] SubnetArn "
     "OutpostArn EnableDns64:b Ipv6Native:b "
     "PrivateDnsNameOptionsOnLaunch:PrivateDnsNameOptionsOnLaunch "
     "BlockPublicAccessStates:BlockPublicAccessStates Type SubnetId State VpcId CidrBlock "
     "AvailableIpAddressCount:i AvailabilityZone DefaultForAz:b MapPublicIpOnLaunch:b"},
    {"SubnetIpv6CidrBlockAssociation",
     "AssociationId Ipv6CidrBlock Ipv6CidrBlockState:SubnetCidrBlockState Ipv6AddressAttribute "
     "IpSource"},
    {"SubnetCidrBlockState", "State StatusMessage"},
    {"PrivateDnsNameOptionsOnLaunch", "HostnameType EnableResourceNameDnsARecord:b EnableResourceNameDnsAAAARecord:b"},
    {"BlockPublicAccessStates", "InternetGatewayBlockMode"},
    {"DescribeSecurityGroupsRequest",
     "GroupIds@GroupId:[] GroupNames@GroupName:[] NextToken MaxResults:i DryRun:b "
     "Filters@Filter:[Filter]"},
    {"DescribeSecurityGroupsResult", "NextToken SecurityGroups@securityGroupInfo:[SecurityGroup]"},
    {"SecurityGroup",
     "GroupId IpPermissionsEgress:[IpPermission] Tags@tagSet:[Tag] VpcId SecurityGroupArn OwnerId "
     "GroupName Description@groupDescription IpPermissions:[IpPermission]"},
    {"IpPermission",
     "IpProtocol FromPort:i ToPort:i UserIdGroupPairs@groups:[UserIdGroupPair] IpRanges:[IpRange] "
     "Ipv6Ranges:[Ipv6Range] PrefixListIds:[PrefixListId]"},
    {"UserIdGroupPair", "Description UserId GroupName GroupId VpcId VpcPeeringConnectionId PeeringStatus"},
    {"IpRange", "Description CidrIp"},
    {"Ipv6Range", "Description CidrIpv6"},
    {"PrefixListId", "Description PrefixListId"},
    {"CreateSecurityGroupRequest",
     "Description@GroupDescription GroupName VpcId "
     "TagSpecifications@TagSpecification:[TagSpecification] DryRun:b"},
    {"CreateSecurityGroupResult", "GroupId Tags@tagSet:[Tag] SecurityGroupArn"},
    {"AuthorizeSecurityGroupIngressRequest",
     "CidrIp FromPort:i GroupId GroupName IpPermissions:[IpPermission] IpProtocol "
     "SourceSecurityGroupName SourceSecurityGroupOwnerId ToPort:i "
     "TagSpecifications@TagSpecification:[TagSpecification] DryRun:b"},
    {"AuthorizeSecurityGroupIngressResult", "Return:b SecurityGroupRules@securityGroupRuleSet:[SecurityGroupRule]"},
    {"SecurityGroupRule",
     "SecurityGroupRuleId GroupId GroupOwnerId IsEgress:b IpProtocol FromPort:i ToPort:i CidrIpv4 "
     "CidrIpv6 PrefixListId ReferencedGroupInfo:ReferencedSecurityGroup Description "
     "Tags@tagSet:[Tag] SecurityGroupRuleArn"},
    {"ReferencedSecurityGroup", "GroupId PeeringStatus UserId VpcId VpcPeeringConnectionId"},
    {"DeleteSecurityGroupRequest", "GroupId GroupName DryRun:b"},
    {"DeleteSecurityGroupResult", "Return:b GroupId"},
    {"CreateNetworkInterfaceRequest",
     "InterfaceType TagSpecifications@TagSpecification:[TagSpecification] ClientToken* SubnetId "
     "Description PrivateIpAddress Groups@SecurityGroupId:[] "
     "PrivateIpAddresses:[PrivateIpAddressSpecification] SecondaryPrivateIpAddressCount:i "
     "Ipv6Addresses:[InstanceIpv6Address] Ipv6AddressCount:i DryRun:b"},
    {"CreateNetworkInterfaceResult", "NetworkInterface:NetworkInterface ClientToken"},
    {"NetworkInterface",
     "Association:NetworkInterfaceAssociation Attachment:NetworkInterfaceAttachment "
     "AvailabilityZone ConnectionTrackingConfiguration:ConnectionTrackingConfiguration Description "
     "Groups@groupSet:[GroupIdentifier] InterfaceType "
     "Ipv6Addresses@ipv6AddressesSet:[NetworkInterfaceIpv6Address] MacAddress NetworkInterfaceId "
     "OutpostArn OwnerId PrivateDnsName PublicDnsName "
     "PublicIpDnsNameOptions:PublicIpDnsNameOptions PrivateIpAddress "
     "PrivateIpAddresses@privateIpAddressesSet:[NetworkInterfacePrivateIpAddress] "
     "Ipv4Prefixes@ipv4PrefixSet:[Ipv4PrefixSpecification] "
     "Ipv6Prefixes@ipv6PrefixSet:[Ipv6PrefixSpecification] RequesterId RequesterManaged:b "
     "SourceDestCheck:b Status SubnetId TagSet:[Tag] VpcId DenyAllIgwTraffic:b Ipv6Native:b "
     "Ipv6Address Operator:OperatorResponse AssociatedSubnets@associatedSubnetSet:[] "
     "AvailabilityZoneId"},
    {"NetworkInterfaceAssociation",
     "AllocationId AssociationId IpOwnerId PublicDnsName PublicIp CustomerOwnedIp CarrierIp"},
    {"NetworkInterfaceAttachment",
     "AttachTime:t AttachmentId DeleteOnTermination:b DeviceIndex:i NetworkCardIndex:i InstanceId "
     "InstanceOwnerId Status EnaSrdSpecification:AttachmentEnaSrdSpecification EnaQueueCount:i"},
    {"AttachmentEnaSrdSpecification", "EnaSrdEnabled:b EnaSrdUdpSpecification:AttachmentEnaSrdUdpSpecification"},
    {"AttachmentEnaSrdUdpSpecification", "EnaSrdUdpEnabled:b"},
    {"ConnectionTrackingConfiguration", "TcpEstablishedTimeout:i UdpStreamTimeout:i UdpTimeout:i"},
    {"NetworkInterfaceIpv6Address", "Ipv6Address PublicIpv6DnsName IsPrimaryIpv6:b"},
    {"PublicIpDnsNameOptions", "DnsHostnameType PublicIpv4DnsName PublicIpv6DnsName PublicDualStackDnsName"},
    {"NetworkInterfacePrivateIpAddress",
     "Association:NetworkInterfaceAssociation Primary:b PrivateDnsName PrivateIpAddress"},
    {"Ipv4PrefixSpecification", "Ipv4Prefix"},
    {"Ipv6PrefixSpecification", "Ipv6Prefix"},
    {"AttachNetworkInterfaceRequest", "NetworkCardIndex:i DryRun:b NetworkInterfaceId InstanceId DeviceIndex:i"},
    {"AttachNetworkInterfaceResult", "AttachmentId NetworkCardIndex:i"},
    {"DetachNetworkInterfaceRequest", "DryRun:b AttachmentId Force:b"},
    {"DeleteNetworkInterfaceRequest", "DryRun:b NetworkInterfaceId"},
    {"DescribeNetworkInterfacesRequest",
     "NextToken MaxResults:i IncludeManagedResources:b DryRun:b "
     "NetworkInterfaceIds@NetworkInterfaceId:[] Filters@filter:[Filter]"},
    {"DescribeNetworkInterfacesResult", "NetworkInterfaces@networkInterfaceSet:[NetworkInterface] NextToken"},
    {"AllocateAddressRequest",
     "Domain Address PublicIpv4Pool NetworkBorderGroup CustomerOwnedIpv4Pool "
     "TagSpecifications@TagSpecification:[TagSpecification] IpamPoolId DryRun:b"},
    {"AllocateAddressResult",
     "AllocationId PublicIpv4Pool NetworkBorderGroup Domain CustomerOwnedIp CustomerOwnedIpv4Pool "
     "CarrierIp PublicIp"},
    {"AssociateAddressRequest",
     "AllocationId InstanceId PublicIp DryRun:b NetworkInterfaceId PrivateIpAddress "
     "AllowReassociation:b"},
    {"AssociateAddressResult", "AssociationId"},
    {"DescribeAddressesRequest",
     "PublicIps@PublicIp:[] DryRun:b Filters@Filter:[Filter] AllocationIds@AllocationId:[]"},
    {"DescribeAddressesResult", "Addresses@addressesSet:[Address]"},
    {"Address",
     "AllocationId AssociationId Domain NetworkInterfaceId NetworkInterfaceOwnerId "
     "PrivateIpAddress Tags@tagSet:[Tag] PublicIpv4Pool NetworkBorderGroup CustomerOwnedIp "
     "CustomerOwnedIpv4Pool CarrierIp SubnetId ServiceManaged InstanceId PublicIp"},
    {"ReleaseAddressRequest", "AllocationId PublicIp NetworkBorderGroup DryRun:b"},
    {"DescribeKeyPairsRequest",
     "KeyNames@KeyName:[] KeyPairIds@KeyPairId:[] IncludePublicKey:b DryRun:b "
     "Filters@Filter:[Filter]"},
    {"DescribeKeyPairsResult", "KeyPairs@keySet:[KeyPairInfo]"},
    {"KeyPairInfo", "KeyPairId KeyType Tags@tagSet:[Tag] PublicKey CreateTime:t KeyName KeyFingerprint"},
    {"CreateKeyPairRequest",
     "KeyName KeyType TagSpecifications@TagSpecification:[TagSpecification] KeyFormat DryRun:b"},
    {"KeyPair", "KeyPairId Tags@tagSet:[Tag] KeyName KeyFingerprint KeyMaterial"},
    {"DeleteKeyPairRequest", "KeyName KeyPairId DryRun:b"},
    {"DeleteKeyPairResult", "Return:b KeyPairId"},
    {"DescribeImagesRequest",
     "ExecutableUsers@ExecutableBy:[] ImageIds@ImageId:[] Owners@Owner:[] IncludeDeprecated:b "
     "IncludeDisabled:b MaxResults:i NextToken DryRun:b Filters@Filter:[Filter]"},
    {"DescribeImagesResult", "NextToken Images@imagesSet:[Image]"},
    {"Image",
     "PlatformDetails UsageOperation BlockDeviceMappings@blockDeviceMapping:[BlockDeviceMapping] "
     "Description EnaSupport:b Hypervisor ImageOwnerAlias Name RootDeviceName RootDeviceType "
     "SriovNetSupport StateReason:StateReason Tags@tagSet:[Tag] VirtualizationType BootMode "
     "TpmSupport DeprecationTime ImdsSupport SourceInstanceId DeregistrationProtection "
     "LastLaunchedTime ImageAllowed:b SourceImageId SourceImageRegion FreeTierEligible:b ImageId "
     "ImageLocation State@imageState OwnerId@imageOwnerId CreationDate Public@isPublic:b "
     "ProductCodes:[ProductCode] Architecture ImageType KernelId RamdiskId Platform"},
    {"DescribeInstanceTypesRequest",
     "DryRun:b InstanceTypes@InstanceType:[] Filters@Filter:[Filter] MaxResults:i NextToken "
     "IncludeUnsupportedInRegion:b"},
    {"DescribeInstanceTypesResult", "InstanceTypes@instanceTypeSet:[InstanceTypeInfo] NextToken"},
    {"InstanceTypeInfo",
     "InstanceType CurrentGeneration:b FreeTierEligible:b SupportedUsageClasses:[] "
     "SupportedRootDeviceTypes:[] SupportedVirtualizationTypes:[] BareMetal:b Hypervisor "
     "ProcessorInfo:ProcessorInfo VCpuInfo:VCpuInfo MemoryInfo:MemoryInfo "
     "InstanceStorageSupported:b InstanceStorageInfo:InstanceStorageInfo EbsInfo:EbsInfo "
     "NetworkInfo:NetworkInfo GpuInfo:GpuInfo FpgaInfo:FpgaInfo "
     "PlacementGroupInfo:PlacementGroupInfo InferenceAcceleratorInfo:InferenceAcceleratorInfo "
     "HibernationSupported:b BurstablePerformanceSupported:b DedicatedHostsSupported:b "
     "AutoRecoverySupported:b SupportedBootModes:[] NitroEnclavesSupport NitroTpmSupport "
     "NitroTpmInfo:NitroTpmInfo MediaAcceleratorInfo:MediaAcceleratorInfo NeuronInfo:NeuronInfo "
     "PhcSupport RebootMigrationSupport SupportedInRegion:b"},
    {"ProcessorInfo", "SupportedArchitectures:[] SustainedClockSpeedInGhz:d SupportedFeatures:[] Manufacturer"},
    {"VCpuInfo", "DefaultVCpus:i DefaultCores:i DefaultThreadsPerCore:i ValidCores:[i] ValidThreadsPerCore:[i]"},
    {"MemoryInfo", "SizeInMiB:i"},
    {"InstanceStorageInfo", "TotalSizeInGB:i Disks:[DiskInfo] NvmeSupport EncryptionSupport"},
    {"DiskInfo", "SizeInGB:i Count:i Type"},
    {"EbsInfo",
     "EbsOptimizedSupport EncryptionSupport EbsOptimizedInfo:EbsOptimizedInfo NvmeSupport "
     "MaximumEbsAttachments:i AttachmentLimitType MaximumEbsCards:i "
     "EbsCards@ebsCardSet:[EbsCardInfo]"},
    {"EbsOptimizedInfo",
     "BaselineBandwidthInMbps:i BaselineThroughputInMBps:d BaselineIops:i MaximumBandwidthInMbps:i "
     "MaximumThroughputInMBps:d MaximumIops:i"},
    {"EbsCardInfo",
     "EbsCardIndex:i BaselineBandwidthInMbps:i BaselineThroughputInMBps:d BaselineIops:i "
     "MaximumBandwidthInMbps:i MaximumThroughputInMBps:d MaximumIops:i"},
    {"NetworkInfo",
     "NetworkPerformance MaximumNetworkInterfaces:i MaximumNetworkCards:i "
     "DefaultNetworkCardIndex:i NetworkCards:[NetworkCardInfo] Ipv4AddressesPerInterface:i "
     "Ipv6AddressesPerInterface:i Ipv6Supported:b EnaSupport EfaSupported:b EfaInfo:EfaInfo "
     "EncryptionInTransitSupported:b EnaSrdSupported:b BandwidthWeightings:[] "
     "FlexibleEnaQueuesSupport "
     "ConnectionTrackingConfiguration:DefaultConnectionTrackingConfiguration "
     "SecondaryNetworkSupported:b MaximumSecondaryNetworkInterfaces:i "
     "Ipv4AddressesPerSecondaryInterface:i"},
    {"NetworkCardInfo",
     "NetworkCardIndex:i NetworkPerformance MaximumNetworkInterfaces:i "
     "AdditionalFlexibleNetworkInterfaces:i BaselineBandwidthInGbps:d PeakBandwidthInGbps:d "
     "DefaultEnaQueueCountPerInterface:i MaximumEnaQueueCount:i MaximumEnaQueueCountPerInterface:i"},
    {"EfaInfo", "MaximumEfaInterfaces:i"},
    {"DefaultConnectionTrackingConfiguration",
     "DefaultTcpEstablishedTimeout:i DefaultUdpTimeout:i DefaultUdpStreamTimeout:i"},
    {"GpuInfo", "Gpus:[GpuDeviceInfo] TotalGpuMemoryInMiB:i"},
    {"GpuDeviceInfo",
     "Name Manufacturer Count:i LogicalGpuCount:i GpuPartitionSize:d Workloads@workloadSet:[] "
     "MemoryInfo:GpuDeviceMemoryInfo"},
    {"GpuDeviceMemoryInfo", "SizeInMiB:i"},
    {"FpgaInfo", "Fpgas:[FpgaDeviceInfo] TotalFpgaMemoryInMiB:i"},
    {"FpgaDeviceInfo", "Name Manufacturer Count:i MemoryInfo:FpgaDeviceMemoryInfo"},
    {"FpgaDeviceMemoryInfo", "SizeInMiB:i"},
    {"PlacementGroupInfo", "SupportedStrategies:[]"},
    {"InferenceAcceleratorInfo", "Accelerators:[InferenceDeviceInfo] TotalInferenceMemoryInMiB:i"},
    {"InferenceDeviceInfo", "Count:i Name Manufacturer MemoryInfo:InferenceDeviceMemoryInfo"},
    {"InferenceDeviceMemoryInfo", "SizeInMiB:i"},
    {"NitroTpmInfo", "SupportedVersions:[]"},
    {"MediaAcceleratorInfo", "Accelerators:[MediaDeviceInfo] TotalMediaMemoryInMiB:i"},
    {"MediaDeviceInfo", "Count:i Name Manufacturer MemoryInfo:MediaDeviceMemoryInfo"},
    {"MediaDeviceMemoryInfo", "SizeInMiB:i"},
    {"NeuronInfo", "NeuronDevices:[NeuronDeviceInfo] TotalNeuronDeviceMemoryInMiB:i"},
    {"NeuronDeviceInfo", "Count:i Name CoreInfo:NeuronDeviceCoreInfo MemoryInfo:NeuronDeviceMemoryInfo"},
    {"NeuronDeviceCoreInfo", "Count:i Version:i"},
    {"NeuronDeviceMemoryInfo", "SizeInMiB:i"},
    {"DescribeInstanceTypeOfferingsRequest", "DryRun:b LocationType Filters@Filter:[Filter] MaxResults:i NextToken"},
    {"DescribeInstanceTypeOfferingsResult",
     "InstanceTypeOfferings@instanceTypeOfferingSet:[InstanceTypeOffering] NextToken"},
    {"InstanceTypeOffering", "InstanceType LocationType Location"},
    {"DescribeInternetGatewaysRequest",
     "NextToken MaxResults:i DryRun:b InternetGatewayIds@internetGatewayId:[] Filters@Filter:[Filter]"},
    {"DescribeInternetGatewaysResult", "InternetGateways@internetGatewaySet:[InternetGateway] NextToken"},
    {"InternetGateway",
     "Attachments@attachmentSet:[InternetGatewayAttachment] InternetGatewayId OwnerId Tags@tagSet:[Tag]"},
    {"InternetGatewayAttachment", "State VpcId"},
    {"DescribeRouteTablesRequest",
     "NextToken MaxResults:i DryRun:b RouteTableIds@RouteTableId:[] Filters@Filter:[Filter]"},
    {"DescribeRouteTablesResult", "RouteTables@routeTableSet:[RouteTable] NextToken"},
    {"RouteTable",
     "Associations@associationSet:[RouteTableAssociation] PropagatingVgws@propagatingVgwSet:[PropagatingVgw] "
     "RouteTableId Routes@routeSet:[Route] Tags@tagSet:[Tag] VpcId OwnerId"},
    {"RouteTableAssociation",
     "Main:b RouteTableAssociationId RouteTableId SubnetId GatewayId PublicIpv4Pool "
     "AssociationState:RouteTableAssociationState"},
    {"RouteTableAssociationState", "State StatusMessage"},
    {"PropagatingVgw", "GatewayId"},
    {"Route",
     "DestinationCidrBlock DestinationIpv6CidrBlock DestinationPrefixListId EgressOnlyInternetGatewayId GatewayId "
     "InstanceId InstanceOwnerId NatGatewayId TransitGatewayId LocalGatewayId CarrierGatewayId NetworkInterfaceId "
     "Origin State VpcPeeringConnectionId CoreNetworkArn OdbNetworkArn IpAddress"},
    {"DescribeVpcBlockPublicAccessOptionsRequest", "DryRun:b"},
    {"DescribeVpcBlockPublicAccessOptionsResult", "VpcBlockPublicAccessOptions:VpcBlockPublicAccessOptions"},
    {"VpcBlockPublicAccessOptions",
     "AwsAccountId AwsRegion State InternetGatewayBlockMode Reason LastUpdateTimestamp:t ManagedBy "
     "ExclusionsAllowed"},
};

const OperationText kOperations[] = {
    {"DescribeInstances", "DescribeInstancesRequest", "DescribeInstancesResult"},
    {"RunInstances", "RunInstancesRequest", "Reservation"},
    {"DescribeInstanceStatus", "DescribeInstanceStatusRequest", "DescribeInstanceStatusResult"},
    {"TerminateInstances", "TerminateInstancesRequest", "TerminateInstancesResult"},
    {"StartInstances", "StartInstancesRequest", "StartInstancesResult"},
    {"DescribeAccountAttributes", "DescribeAccountAttributesRequest", "DescribeAccountAttributesResult"},
    {"CreateTags", "CreateTagsRequest", ""},
    {"DescribeSubnets", "DescribeSubnetsRequest", "DescribeSubnetsResult"},
    {"DescribeSecurityGroups", "DescribeSecurityGroupsRequest", "DescribeSecurityGroupsResult"},
    {"CreateSecurityGroup", "CreateSecurityGroupRequest", "CreateSecurityGroupResult"},
    {"AuthorizeSecurityGroupIngress", "AuthorizeSecurityGroupIngressRequest", "AuthorizeSecurityGroupIngressResult"},
    {"DeleteSecurityGroup", "DeleteSecurityGroupRequest", "DeleteSecurityGroupResult"},
    {"CreateNetworkInterface", "CreateNetworkInterfaceRequest", "CreateNetworkInterfaceResult"},
    {"AttachNetworkInterface", "AttachNetworkInterfaceRequest", "AttachNetworkInterfaceResult"},
    {"DetachNetworkInterface", "DetachNetworkInterfaceRequest", ""},
    {"DeleteNetworkInterface", "DeleteNetworkInterfaceRequest", ""},
    {"DescribeNetworkInterfaces", "DescribeNetworkInterfacesRequest", "DescribeNetworkInterfacesResult"},
    {"AllocateAddress", "AllocateAddressRequest", "AllocateAddressResult"},
    {"AssociateAddress", "AssociateAddressRequest", "AssociateAddressResult"},
    {"DescribeAddresses", "DescribeAddressesRequest", "DescribeAddressesResult"},
    {"ReleaseAddress", "ReleaseAddressRequest", ""},
    {"DescribeKeyPairs", "DescribeKeyPairsRequest", "DescribeKeyPairsResult"},
    {"CreateKeyPair", "CreateKeyPairRequest", "KeyPair"},
    {"DeleteKeyPair", "DeleteKeyPairRequest", "DeleteKeyPairResult"},
    {"DescribeImages", "DescribeImagesRequest", "DescribeImagesResult"},
    {"DescribeInstanceTypes", "DescribeInstanceTypesRequest", "DescribeInstanceTypesResult"},
    {"DescribeInstanceTypeOfferings", "DescribeInstanceTypeOfferingsRequest", "DescribeInstanceTypeOfferingsResult"},
    {"DescribeInternetGateways", "DescribeInternetGatewaysRequest", "DescribeInternetGatewaysResult"},
    {"DescribeRouteTables", "DescribeRouteTablesRequest", "DescribeRouteTablesResult"},
    {"DescribeVpcBlockPublicAccessOptions", "DescribeVpcBlockPublicAccessOptionsRequest",
     "DescribeVpcBlockPublicAccessOptionsResult"},
};

}  // namespace

const ServiceText kEc2Text{"ec2",   Protocol::Ec2,      "2016-11-15", "",
                           kShapes, std::size(kShapes), kOperations,  std::size(kOperations)};

}  // namespace quenfold_testlibs::awsapi::shapes
