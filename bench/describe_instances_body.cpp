#include "describe_instances_body.h"

#include <cstdio>

namespace quenfold_testlibs::bench {

namespace {

std::string instance_xml(int i) {
  char id[32], eni[32], eni2[32];
  std::snprintf(id, sizeof id, "i-0a1b2c3d4e5f%05d", i);
  std::snprintf(eni, sizeof eni, "eni-0f1e2d3c4b5a%05d", i);
  std::snprintf(eni2, sizeof eni2, "eni-0f1e2d3c4b5b%05d", i);
  const std::string n = std::to_string(i);
  const std::string priv = "10.0." + std::to_string(i / 200) + "." + std::to_string(10 + i % 200);
  const std::string priv2 = "10.1." + std::to_string(i / 200) + "." + std::to_string(10 + i % 200);
  const std::string pub = "54.12.34." + std::to_string(10 + i % 200);
  return std::string() + "<item><instanceId>" + id +
         "</instanceId><imageId>ami-0123456789abcdef0</imageId>"
         "<instanceState><code>16</code><name>running</name></instanceState>"
         "<privateDnsName>ip-" +
         priv + ".ec2.internal</privateDnsName><dnsName>ec2-" + pub +
         ".compute-1.amazonaws.com</dnsName><reason/><keyName>quenfold-test-ec2-key-pair-vpc-0abc</keyName>"
         "<amiLaunchIndex>0</amiLaunchIndex><productCodes/><instanceType>t3.micro</instanceType>"
         "<launchTime>2026-12-07T20:15:3" +
         std::to_string(i % 10) +
         ".000Z</launchTime>"
         "<placement><availabilityZone>us-east-1a</availabilityZone><groupName/><tenancy>default</tenancy></placement>"
         "<monitoring><state>disabled</state></monitoring><subnetId>subnet-0aa" +
         n +
         "</subnetId>"
         "<vpcId>vpc-0abc</vpcId><privateIpAddress>" +
         priv + "</privateIpAddress><ipAddress>" + pub +
         "</ipAddress><sourceDestCheck>true</sourceDestCheck>"
         "<groupSet><item><groupId>sg-0123</groupId><groupName>quenfold-test-ec2-sg</groupName></item></groupSet>"
         "<architecture>x86_64</architecture><rootDeviceType>ebs</rootDeviceType><rootDeviceName>/dev/xvda</"
         "rootDeviceName>"
         "<blockDeviceMapping><item><deviceName>/dev/xvda</deviceName><ebs><volumeId>vol-0" +
         n +
         "</volumeId><status>attached</status><attachTime>2026-12-07T20:15:31.000Z</attachTime>"
         "<deleteOnTermination>true</deleteOnTermination></ebs></item></blockDeviceMapping>"
         "<virtualizationType>hvm</virtualizationType><clientToken>token-" +
         n +
         "</clientToken>"
         "<tagSet><item><key>Name</key><value>quenfold-test-ec2</value></item>"
         "<item><key>owner</key><value>network-tests</value></item>"
         "<item><key>run</key><value>nightly-" +
         n +
         "</value></item></tagSet>"
         "<hypervisor>xen</hypervisor>"
         "<networkInterfaceSet>"
         "<item><networkInterfaceId>" +
         eni + "</networkInterfaceId><subnetId>subnet-0aa" + n +
         "</subnetId><vpcId>vpc-0abc</vpcId><description/><ownerId>123456789012</ownerId><status>in-use</status>"
         "<macAddress>0a:1b:2c:3d:4e:" +
         std::to_string(10 + i % 80) + "</macAddress><privateIpAddress>" + priv +
         "</privateIpAddress><sourceDestCheck>true</sourceDestCheck>"
         "<groupSet><item><groupId>sg-0123</groupId><groupName>quenfold-test-ec2-sg</groupName></item></groupSet>"
         "<attachment><attachmentId>eni-attach-0" +
         n +
         "</attachmentId><deviceIndex>0</deviceIndex>"
         "<status>attached</status><attachTime>2026-12-07T20:15:31.000Z</attachTime>"
         "<deleteOnTermination>true</deleteOnTermination></attachment>"
         "<association><publicIp>" +
         pub +
         "</publicIp><publicDnsName/><ipOwnerId>amazon</ipOwnerId></association>"
         "<privateIpAddressesSet><item><privateIpAddress>" +
         priv +
         "</privateIpAddress><primary>true</primary>"
         "<association><publicIp>" +
         pub +
         "</publicIp><ipOwnerId>amazon</ipOwnerId></association></item>"
         "</privateIpAddressesSet></item>"
         "<item><networkInterfaceId>" +
         eni2 + "</networkInterfaceId><subnetId>subnet-0bb" + n +
         "</subnetId><vpcId>vpc-0abc</vpcId><description/><ownerId>123456789012</ownerId><status>in-use</status>"
         "<privateIpAddress>" +
         priv2 +
         "</privateIpAddress><sourceDestCheck>true</sourceDestCheck>"
         "<groupSet><item><groupId>sg-0456</groupId><groupName>quenfold-test-ec2-private-interface-sg</groupName>"
         "</item></groupSet><attachment><attachmentId>eni-attach-1" +
         n +
         "</attachmentId><deviceIndex>1</deviceIndex>"
         "<status>attached</status><attachTime>2026-12-07T20:17:02.000Z</attachTime>"
         "<deleteOnTermination>false</deleteOnTermination></attachment>"
         "<privateIpAddressesSet><item><privateIpAddress>" +
         priv2 +
         "</privateIpAddress><primary>true</primary>"
         "</item></privateIpAddressesSet></item>"
         "</networkInterfaceSet><ebsOptimized>false</ebsOptimized></item>";
}

}  // namespace

std::string describe_instances_body(int instances) {
  std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<DescribeInstancesResponse xmlns=\"http://ec2.amazonaws.com/doc/2016-11-15/\">"
      "<requestId>8f7724cf-496f-496e-8fe3-example</requestId><reservationSet>";
  for (int i = 0; i < instances; ++i) {
    body += "<item><reservationId>r-0" + std::to_string(1000 + i) +
            "</reservationId><ownerId>123456789012</ownerId><groupSet/><instancesSet>";
    body += instance_xml(i);
    body += "</instancesSet></item>";
  }
  body += "</reservationSet></DescribeInstancesResponse>";
  return body;
}

}  // namespace quenfold_testlibs::bench
